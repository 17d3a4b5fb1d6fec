#include "host/host_log.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "host/utf8_text.h"
#include "support/temp_dir.h"

namespace qb {
namespace {

using test::TempDir;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

TEST(Utf8Text, InvalidBytesAreReplacedAndLimitsCountCharacters) {
  EXPECT_EQ(ToValidUtf8("ok \xC2\xBA"), "ok \xC2\xBA");
  EXPECT_EQ(ToValidUtf8("a\xFF"
                        "b"),
            "a\xEF\xBF\xBD"
            "b");
  EXPECT_EQ(ToValidUtf8("\xC0\xAF"), "\xEF\xBF\xBD\xEF\xBF\xBD");                  // overlong "/"
  EXPECT_EQ(ToValidUtf8("\xED\xA0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");  // surrogate
  EXPECT_EQ(ToValidUtf8("\xE2\x82"), "\xEF\xBF\xBD\xEF\xBF\xBD");  // cut off at the end
  EXPECT_EQ(Utf8Length("\xF0\x9F\x94\xA5x"), 2u);
  EXPECT_EQ(DeviceTextProblem("name", std::string(256, 'x')), "");
  EXPECT_THAT(DeviceTextProblem("name", std::string(257, 'x')), HasSubstr("at most 256"));
  EXPECT_NE(DeviceTextProblem("Location", "tab\there"), "");
}

std::vector<std::string> Texts(const HostLog& log) {
  std::vector<std::string> out;
  for (const auto& line : log.Tail(100)) out.push_back(line.category + "|" + line.text);
  return out;
}

// A spoken text or an event's log action holding terminal escapes must not reach the terminal,
// the file or the API raw: they would retitle, recolour or rewrite the operator's screen.
TEST(HostLogTest, ControlCharactersAreWrittenOutVisiblyEverywhere) {
  TempDir dir;
  SimulatedClock clock;
  const std::string hostile =
      "\x1B]0;owned\x07 \x1B[2J\xC2\x9B"
      "31m tab\tok \xC2\xBA\rfake";
  const std::string shown = "\\x1B]0;owned\\x07 \\x1B[2J\\u009B31m tab\tok \xC2\xBA\\x0Dfake";
  EXPECT_EQ(EscapeControls(hostile), shown);
  std::string console;
  {
    HostLog log(clock, dir.path() / "log", true);
    ASSERT_EQ(log.Open(), "");
    ::testing::internal::CaptureStdout();
    log.Write("Speak\x1B[1A", hostile);
    log.Flush();
    console = ::testing::internal::GetCapturedStdout();
    EXPECT_THAT(Texts(log), ElementsAre("Speak\\x1B[1A|" + shown));
  }
  const std::string file = test::ReadFile(dir.path() / "log");
  for (const std::string& out : {console, file}) {
    EXPECT_EQ(out.find('\x1B'), std::string::npos) << out;
    EXPECT_EQ(out.find('\x07'), std::string::npos) << out;
    EXPECT_EQ(out.find("\xC2\x9B"), std::string::npos) << out;
  }
  EXPECT_THAT(console, HasSubstr("\\x1B]0;owned"));
  // Read back, the line is the one the log wrote.
  HostLog again(clock, dir.path() / "log", false);
  ASSERT_EQ(again.Open(), "");
  EXPECT_THAT(Texts(again), ElementsAre("Speak\\x1B[1A|" + shown));
}

TEST(HostLogTest, ARepeatedErrorIsWrittenOnceWithItsCount) {
  TempDir dir;
  SimulatedClock clock;
  HostLog log(clock, dir.path() / "log", false);
  ASSERT_EQ(log.Open(), "");
  for (int i = 0; i < 5; ++i) {
    log.Write("1-Wire ERROR(ReadNet)", "bus shorted");
    clock.Advance(std::chrono::milliseconds(200));
  }
  log.Write("Host", "other");
  log.Write("Host", "other");  // only errors are folded
  EXPECT_THAT(Texts(log),
              ElementsAre("1-Wire ERROR(ReadNet)|bus shorted",
                          "1-Wire ERROR(ReadNet)|The line before was repeated 4 more times in 1 s: "
                          "bus shorted",
                          "Host|other", "Host|other"));
  // A fault that lasts says so every minute.
  for (int i = 0; i < 400; ++i) {
    log.Write("1-Wire ERROR(ReadNet)", "bus shorted");
    clock.Advance(std::chrono::milliseconds(250));
  }
  EXPECT_EQ(log.Tail(100).size(), 4u + 1 + 1);
}

TEST(HostLogTest, TheFileIsRotatedBySizeKeepingAFewOldOnes) {
  TempDir dir;
  SimulatedClock clock;
  const auto file = dir.path() / "quellbrook-1wire.log";
  HostLog log(clock, file, false, {.keep = 50, .max_file_bytes = 1000, .old_files = 2});
  ASSERT_EQ(log.Open(), "");
  for (int i = 0; i < 100; ++i)
    log.Write("Host", "line " + std::to_string(i) + std::string(40, '.'));
  EXPECT_LE(std::filesystem::file_size(file), 1000u);
  EXPECT_TRUE(std::filesystem::exists(file.string() + ".1"));
  EXPECT_TRUE(std::filesystem::exists(file.string() + ".2"));
  EXPECT_FALSE(std::filesystem::exists(file.string() + ".3"));
  EXPECT_THAT(test::ReadFile(file), HasSubstr("line 99"));
  EXPECT_EQ(log.Tail(1)[0].text.substr(0, 7), "line 99");
}

}  // namespace
}  // namespace qb
