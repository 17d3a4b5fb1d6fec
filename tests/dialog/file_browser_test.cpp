// The file-system page on a simulated DS1993 memory button.
#include "dialog/file_browser.h"

#include <QDialog>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTreeWidget>

#include "access/owfile.h"
#include "access/owfile_streams.h"
#include "dialog/bus_claim.h"
#include "dialog_fixture.h"

namespace qb::test {
namespace {

using dialog::Answer;
using dialog::BusClaim;
using dialog::FileBrowser;

const std::string kButton = access::RomId::Make(0x06, 7).ToString();

class FileBrowserTest : public DialogBusTest {
 protected:
  void SetUp() override { StartBus({{"devices", {{{"rom", kButton}}}}}); }

  // The device's whole memory, read through the library.
  access::Bytes Memory() {
    BusClaim bus(kButton);
    EXPECT_TRUE(bus.Present());
    auto banks = bus.Container().getMemoryBanks();
    return banks.at(0)->read(0, banks.at(0)->getSize());
  }
  void Format() {
    BusClaim bus(kButton);
    access::OWFile(bus.Container(), "/").format();
  }
  void Write(const std::string& path, const access::Bytes& bytes) {
    BusClaim bus(kButton);
    access::OWFileOutputStream out(bus.Container(), path);
    out.write(bytes);
    out.close();
  }
  access::Bytes Read(const std::string& path) {
    BusClaim bus(kButton);
    access::OWFileInputStream in(bus.Container(), path);
    access::ByteBuffer buffer(4096);
    const int n = in.read(buffer);
    return access::Bytes(buffer.bytes().begin(), buffer.bytes().begin() + std::max(n, 0));
  }
  bool Exists(const std::string& path) {
    BusClaim bus(kButton);
    return access::OWFile(bus.Container(), path).exists();
  }

  FileBrowser browser;
};

TEST_F(FileBrowserTest, NoToTheFormatQuestionLeavesTheDeviceAndTreeEmptyYesFormats) {
  const access::Bytes before = Memory();
  browser.SetDevice(kButton);
  ASSERT_EQ(ui.questions.size(), 1u);
  EXPECT_EQ(ui.questions[0], "Do you want to format the file system for device:\r" + kButton);
  EXPECT_EQ(browser.devFiles->topLevelItemCount(), 0);
  EXPECT_FALSE(browser.cmdDel->isEnabled());
  EXPECT_EQ(Memory(), before);

  ui.SetAnswer("format-file-system", true);
  browser.Rebuild();
  EXPECT_EQ(browser.cmdDel->text(), "Format");
  EXPECT_TRUE(Exists("/"));
  ASSERT_EQ(browser.devFiles->topLevelItemCount(), 1);
  EXPECT_EQ(browser.devFiles->topLevelItem(0)->text(0), "/");
}

TEST_F(FileBrowserTest, AHundredByteFileRoundTripsThroughTheEditorUnchanged) {
  Format();
  access::Bytes bytes;
  for (int i = 0; i < 100; ++i) bytes.push_back(static_cast<uint8_t>((i * 37 + 1) % 256));
  // Bytes a text box would take for line or paragraph breaks, a zero byte and bytes above 127.
  for (int i = 0; i < 32; ++i) bytes[i] = static_cast<uint8_t>(i);
  for (int i = 0; i < 8; ++i) bytes[40 + i] = static_cast<uint8_t>(0x80 + i * 16 + 5);
  Write("/DATA.1", bytes);
  browser.SetDevice(kButton);
  ASSERT_NE(browser.FindNode("/DATA.1"), nullptr);

  int shown = -1;
  WhenModal([&](QWidget* editor) {
    shown = static_cast<int>(browser.txtMemoryHex->toPlainText().size());
    EXPECT_EQ(editor, static_cast<QWidget*>(browser.frmFileEdit));
    browser.frmFileEdit->accept();
  });
  EXPECT_TRUE(browser.DisplayFile(kButton, "/DATA.1"));
  EXPECT_EQ(shown, 100);
  EXPECT_FALSE(browser.editing);
  EXPECT_EQ(Read("/DATA.1"), bytes);
  EXPECT_FALSE(Plugin().ExternalBusy);  // the bus was given back
}

TEST_F(FileBrowserTest, NewFileNamesFollowTheSelectedDirectoryAndEditedLabelsAreUpperCase) {
  Format();
  {
    BusClaim bus(kButton);
    access::OWFile(bus.Container(), "/DIR").mkdir();
  }
  Write("/DIR/A.1", {1, 2, 3});
  browser.SetDevice(kButton);
  browser.devFiles->setCurrentItem(browser.FindNode("/"));
  EXPECT_EQ(browser.ProposedNewFileName(), "/FILE.1");
  browser.devFiles->setCurrentItem(browser.FindNode("/DIR"));
  EXPECT_EQ(browser.ProposedNewFileName(), "/DIR/FILE.1");
  browser.devFiles->setCurrentItem(browser.FindNode("/DIR/A.1"));
  EXPECT_EQ(browser.ProposedNewFileName(), "/DIR/FILE.1");

  // New: the headless input box takes the proposed name; the editor's text becomes the file.
  WhenModal([&](QWidget*) {
    browser.txtMemoryHex->setPlainText("hello");
    browser.frmFileEdit->accept();
  });
  browser.NewFile();
  EXPECT_EQ(Read("/DIR/FILE.1"), (access::Bytes{'h', 'e', 'l', 'l', 'o'}));

  QTreeWidgetItem* item = browser.FindNode("/DIR/A.1");
  ASSERT_NE(item, nullptr);
  item->setText(0, "b.2");
  EXPECT_EQ(item->text(0), "B.2");
  EXPECT_TRUE(Exists("/DIR/B.2"));
  EXPECT_FALSE(Exists("/DIR/A.1"));
}

TEST_F(FileBrowserTest, NoToDeleteAllFilesDeletesOnlyTheSelectedFile) {
  Format();
  Write("/ONE.1", {1});
  Write("/TWO.1", {2});
  browser.SetDevice(kButton);
  std::vector<std::string> asked;
  browser.ask_yes_no_cancel = [&](const std::string& text) {
    asked.push_back(text);
    return Answer::No;
  };
  browser.devFiles->setCurrentItem(browser.FindNode("/ONE.1"));
  QTest::mouseClick(browser.cmdDel, Qt::LeftButton);
  EXPECT_THAT(asked, ::testing::ElementsAre("Do you want to delete ALL FILES?"));
  EXPECT_FALSE(Exists("/ONE.1"));
  EXPECT_TRUE(Exists("/TWO.1"));
  EXPECT_EQ(browser.FindNode("/ONE.1"), nullptr);  // the tree was rebuilt
  ASSERT_NE(browser.FindNode("/TWO.1"), nullptr);

  // Cancel does nothing; Yes and then No to "Are you sure" does nothing either.
  browser.ask_yes_no_cancel = [](const std::string&) { return Answer::Cancel; };
  browser.devFiles->setCurrentItem(browser.FindNode("/TWO.1"));
  browser.DeleteClicked();
  browser.ask_yes_no_cancel = [](const std::string&) { return Answer::Yes; };
  browser.DeleteClicked();
  EXPECT_TRUE(Exists("/TWO.1"));
  ui.SetAnswer("delete-all-files", true);
  browser.DeleteClicked();
  EXPECT_FALSE(Exists("/TWO.1"));
  EXPECT_TRUE(Exists("/"));  // formatted, not broken
}

}  // namespace
}  // namespace qb::test
