// The Qt event loop as the plug-in uses it: timers that never re-enter their own tick, work handed
// over from other threads, and a stop that frees the threads still waiting; the desktop's message
// boxes and questions.
#include "dialog/qt_services.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QInputDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <atomic>
#include <functional>
#include <thread>

#include "platform/clock.h"

namespace qb::test {
namespace {

using namespace std::chrono_literals;

TEST(QtEventLoopTest, TicksDoNotReEnterInvokeRunsOnTheLoopAndQuitReleasesWaiters) {
  dialog::QtEventLoop loop;
  int ticks = 0, depth = 0, max_depth = 0;
  std::atomic<bool> ran_on_loop{false};
  std::atomic<int> invoked{0};
  TimerId timer = 0;
  timer = loop.AddTimer(1ms, [&] {
    ++ticks;
    max_depth = std::max(max_depth, ++depth);
    // A pause inside the tick: the same timer is due again but must not run inside it.
    const auto until = std::chrono::steady_clock::now() + 5ms;
    while (std::chrono::steady_clock::now() < until) loop.DoEvents();
    --depth;
    if (ticks >= 3 && invoked != 0) loop.Quit();  // stops once the other thread was served
  });
  loop.SetTimerEnabled(timer, true);
  EXPECT_TRUE(loop.TimerEnabled(timer));

  const auto loop_thread = std::this_thread::get_id();
  std::thread worker([&] {
    invoked = loop.Invoke([&] { ran_on_loop = std::this_thread::get_id() == loop_thread; }) ? 1 : 2;
  });
  loop.Run();
  worker.join();
  EXPECT_EQ(invoked, 1);
  EXPECT_TRUE(ran_on_loop);
  EXPECT_GE(ticks, 3);
  EXPECT_EQ(max_depth, 1);
  EXPECT_GT(loop.TimeInDoEvents(), 0ns);

  // After the loop stopped, Invoke says the work did not run instead of waiting for ever.
  std::thread late([&] { invoked = loop.Invoke([] {}) ? 1 : 2; });
  late.join();
  EXPECT_EQ(invoked, 2);
}

// Runs `act` on the next modal window once it is open.
void OnModal(std::function<void(QWidget*)> act) {
  QTimer::singleShot(0, [act] {
    if (QWidget* w = QApplication::activeModalWidget()) act(w);
  });
}

// The desktop's message boxes, questions and input boxes: the old line breaks ("\r") become new
// lines, an empty title is the plug-in's name, and the answer is the button the user pressed.
TEST(QtUserInterfaceTest, ShowsMessagesAndAsksAsTheUserAnswers) {
  SimulatedClock clock;
  dialog::QtUserInterface ui(clock);
  QString title, text;
  OnModal([&](QWidget* w) {
    auto* box = qobject_cast<QMessageBox*>(w);
    ASSERT_NE(box, nullptr);
    title = box->windowTitle();
    text = box->text();
    box->button(QMessageBox::Ok)->click();
  });
  ui.MessageBox("The interface has not been initialised\rPlease restart", MessageIcon::Critical);
  EXPECT_EQ(title, "Quellbrook 1-Wire Interface");
  EXPECT_EQ(text, "The interface has not been initialised\nPlease restart");

  for (const auto answer : {QMessageBox::Yes, QMessageBox::No}) {
    OnModal([answer](QWidget* w) { qobject_cast<QMessageBox*>(w)->button(answer)->click(); });
    EXPECT_EQ(ui.Ask({"q", "Add a switch?", "Outputs", false}), answer == QMessageBox::Yes);
  }

  OnModal([](QWidget* w) {
    auto* input = qobject_cast<QInputDialog*>(w);
    ASSERT_NE(input, nullptr);
    EXPECT_EQ(input->textValue(), "old");
    input->setTextValue("new name");
    input->accept();
  });
  EXPECT_EQ(ui.InputBox("Name:", "old"), "new name");
  OnModal([](QWidget* w) { qobject_cast<QInputDialog*>(w)->reject(); });
  EXPECT_EQ(ui.InputBox("Name:", "old"), "") << "cancelled";

  const auto before = clock.MonotonicNow();
  ui.Sleep(250ms);  // on the plug-in's clock, not the wall's
  EXPECT_EQ(clock.MonotonicNow() - before, 250ms);
}

}  // namespace
}  // namespace qb::test
