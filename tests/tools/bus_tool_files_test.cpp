// The bus tool's file commands on a DS1993 served as a DS2480B adapter, so that what one command
// writes the next one reads.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sstream>

#include "access/rom.h"
#include "platform/clock.h"
#include "support/child_process.h"
#include "support/temp_dir.h"
#include "tools/bus_tool.h"

namespace qb {
namespace {

using ::testing::HasSubstr;
using namespace std::chrono_literals;

struct ToolRun {
  int status;
  std::string out, err;
};

TEST(BusToolFiles, FormatPutLsAndCatOnADs1993) {
  test::TempDir dir;
  const std::string memory = access::RomId::Make(0x06, 0x1993).ToString();
  const std::string thermometer = access::RomId::Make(0x28, 7).ToString();
  const std::string bus = (dir.path() / "bus.json").string();
  const std::string link = (dir.path() / "ttyQB").string();
  test::WriteFile(
      bus,
      nlohmann::json{{"devices", {{{"rom", memory}}, {{"rom", thermometer}, {"temperature", 20}}}}}
          .dump());
  test::ChildProcess serve({QB_BUS_TOOL_PATH, "serve", "--bus", bus, "--pty", link});
  ASSERT_NE(serve.WaitForLine("serving", 10s), "") << serve.output();
  auto tool = [&](std::vector<std::string> args) {
    args.insert(args.begin(), {"--adapter", "DS9097U", "--port", link});
    SimulatedClock clock;
    std::ostringstream out, err;
    const int status = RunBusTool(args, out, err, clock);
    return ToolRun{status, out.str(), err.str()};
  };

  ToolRun r = tool({"ls", memory});
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.err, HasSubstr("no 1-Wire file structure"));
  EXPECT_THAT(r.err, HasSubstr("quellbrook-bus format " + memory));
  ASSERT_EQ(tool({"format", memory}).status, 0);
  r = tool({"ls", memory});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "");

  // Every byte value, over four pages.
  std::string content;
  for (int i = 0; i < 100; ++i) content += static_cast<char>(255 - i * 5 % 256);
  const std::string local = (dir.path() / "note.bin").string();
  test::WriteFile(local, content);
  r = tool({"put", memory, "/note.1", local});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(tool({"ls", memory}).out, "NOTE.1\n");
  r = tool({"cat", memory, "/NOTE.1"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, content);

  // Too big for the 15 free pages: refused, the file kept.
  test::WriteFile(local, std::string(600, 'x'));
  r = tool({"put", memory, "/BIG.2", local});
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.err, HasSubstr("not enough room"));
  EXPECT_EQ(tool({"cat", memory, "/NOTE.1"}).out, content);

  // The README's example path: a directory first, then the file in it.
  EXPECT_THAT(tool({"put", memory, "/DATA/DAY.7", local}).err, HasSubstr("DATA"));
  r = tool({"mkdir", memory, "/DATA"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "made directory /DATA on " + memory + "\n");
  test::WriteFile(local, "day seven");
  ASSERT_EQ(tool({"put", memory, "/DATA/DAY.7", local}).status, 0);
  EXPECT_EQ(tool({"ls", memory}).out, "NOTE.1\nDATA/\n");
  EXPECT_EQ(tool({"ls", memory, "/DATA"}).out, "DAY.7\n");
  EXPECT_EQ(tool({"cat", memory, "/DATA/DAY.7"}).out, "day seven");
  EXPECT_EQ(tool({"read", memory}).out, "memory_bytes=512\nfiles=NOTE.1,DATA/\n");
  EXPECT_THAT(tool({"mkdir", memory, "/DATA"}).err, HasSubstr("exists already"));
  EXPECT_EQ(tool({"mkdir", memory}).status, 2);

  EXPECT_THAT(tool({"cat", memory, "/NONE.1"}).err, HasSubstr("no file \"/NONE.1\""));
  EXPECT_THAT(tool({"put", memory, "/X.1", "/no/such/file"}).err,
              HasSubstr("cannot read the local file"));
  EXPECT_THAT(tool({"ls", thermometer}).err, HasSubstr("no general-purpose memory"));
  EXPECT_EQ(tool({"cat", memory}).status, 2);
}

}  // namespace
}  // namespace qb
