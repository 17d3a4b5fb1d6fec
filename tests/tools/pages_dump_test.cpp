// `quellbrook-bus pages ROM`: a line per bank and a line per page, as the device holds them.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sstream>

#include "access/rom.h"
#include "platform/clock.h"
#include "support/temp_dir.h"
#include "tools/bus_tool.h"

namespace qb {
namespace {

using ::testing::HasSubstr;

TEST(BusToolPages, DumpsEveryBankAndPage) {
  test::TempDir dir;
  const std::string nvram = access::RomId::Make(0x06, 0x71).ToString();
  const std::string eprom = access::RomId::Make(0x0B, 0x72).ToString();
  const std::string thermometer = access::RomId::Make(0x28, 0x73).ToString();
  const std::string file = (dir.path() / "bus.json").string();
  test::WriteFile(file, nlohmann::json{{"devices",
                                        {{{"rom", nvram}, {"memory", "0548656C6C6F"}},
                                         {{"rom", eprom}, {"status", "FE"}},
                                         {{"rom", thermometer}, {"temperature", 20}}}}}
                            .dump());
  const auto run = [&](const std::string& rom, std::string& out) {
    SimulatedClock clock;
    std::ostringstream o, e;
    const int status = RunBusTool({"--adapter", "SIM", "--port", file, "pages", rom}, o, e, clock);
    out = o.str() + e.str();
    return status;
  };
  std::string out;
  ASSERT_EQ(run(nvram, out), 0) << out;
  EXPECT_THAT(out, HasSubstr("bank \"Main memory\": paged, 512 bytes at 0, read/write, general "
                             "purpose, non-volatile, 16 pages of 32 bytes\n"));
  EXPECT_THAT(out, HasSubstr("  page 000 0548656C6C6F" + std::string(52, '0') + "\n"));
  EXPECT_THAT(out, HasSubstr("  page 015 " + std::string(64, '0') + "\n"));
  // The DS1985: page 0 write-protected in the status memory, each page with its redirection byte.
  ASSERT_EQ(run(eprom, out), 0) << out;
  EXPECT_THAT(out, HasSubstr("OTP, 2048 bytes at 0, write once"));
  EXPECT_THAT(out, HasSubstr("  page 063 " + std::string(64, 'F') + " extra FF\n"));
  EXPECT_THAT(out, HasSubstr("bank \"Write protect pages and page redirection\""));
  EXPECT_THAT(out, HasSubstr("  page 000 FEFFFFFFFFFFFFFF\n"));
  ASSERT_EQ(run(thermometer, out), 0) << out;
  EXPECT_THAT(out, HasSubstr("has no memory"));
}

}  // namespace
}  // namespace qb
