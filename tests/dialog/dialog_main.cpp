// The dialog tests run on Qt's offscreen platform, no display needed; those of how the dialog looks
// (DialogOnX11) on an X server.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QApplication>
#include <cstdlib>

// Qt and the font and display libraries keep caches for the life of the process; the leak
// checker of the sanitizer build leaves those alone and still reports leaks of our own code.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libQt6\nleak:libfontconfig\nleak:libfreetype\nleak:libglib\nleak:libgobject\n"
         "leak:libxcb\nleak:libX11\nleak:libdbus\n";
}

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);  // xcb under Xvfb for the tests of how it looks
  QApplication app(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);
  ::testing::InitGoogleMock(&argc, argv);
  return RUN_ALL_TESTS();
}
