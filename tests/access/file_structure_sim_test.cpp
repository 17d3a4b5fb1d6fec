// The file structure through a DS1993's real memory bank on the simulated bus: every byte goes
// through the bank's scratchpad writes and memory reads.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "access/adapter.h"
#include "access/crc.h"
#include "access/errors.h"
#include "access/families.h"
#include "access/file_structure.h"
#include "access/owfile.h"
#include "access/owfile_streams.h"
#include "platform/clock.h"
#include "sim/bus_file.h"
#include "sim/sim_bus.h"

namespace qb::access {
namespace {

using ::testing::HasSubstr;

struct MemoryBus {
  explicit MemoryBus(uint8_t family) : rom(RomId::Make(family, 0x1993).ToString()) {
    bus = sim::BuildBus(nlohmann::json{{"devices", {{{"rom", rom}}}}}, clock, "test");
    adapter = std::make_unique<DSPortAdapter>("SIM", "test",
                                              std::make_unique<sim::SimBusMaster>(bus, "test bus"));
    device = CreateContainer(family);
    device->SetupContainer(adapter.get(), rom);
  }
  std::string rom;
  SimulatedClock clock;
  std::shared_ptr<sim::SimBus> bus;
  std::unique_ptr<DSPortAdapter> adapter;
  std::unique_ptr<OneWireContainer> device;
};

struct Ds1993Bus : MemoryBus {
  Ds1993Bus() : MemoryBus(0x06) {}
};

Bytes Pattern(size_t n) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i * 13 + 1);
  return b;
}

Bytes ReadAll(OneWireContainer& device, const std::string& path) {
  OWFileInputStream in(device, path);
  ByteBuffer buffer(1024000);
  const int n = in.read(buffer);
  in.close();
  return Bytes(buffer.bytes().begin(), buffer.bytes().begin() + n);
}

void Write(OneWireContainer& device, const std::string& path, const Bytes& data) {
  OWFileOutputStream out(device, path);
  out.write(data);
  out.flush();
  out.close();
}

TEST(FileStructureOnDs1993, FormatWriteListReadRenameDeleteAndAFullDevice) {
  Ds1993Bus d;
  OWFile root(*d.device, "/");
  EXPECT_FALSE(root.exists());  // blank memory
  EXPECT_FALSE(root.isDirectory());
  root.format();
  ASSERT_TRUE(root.isDirectory());

  // The root as it lies in memory: length 8, the control entry with page 0 marked in the
  // bitmap, no continuation, and the inverted CRC16 seeded with page 0.
  auto bank = FileStructure::BankFor(d.device->getMemoryBanks(), "DS1993");
  ASSERT_EQ(bank->getNumberPages(), 16);
  ASSERT_EQ(bank->getPageLength(), 32);
  const Bytes raw = bank->readPage(0).data;
  EXPECT_EQ(Bytes(raw.begin(), raw.begin() + 9), Bytes({8, 0xAA, 0, 0, 0x01, 0, 0, 0, 0}));
  const uint16_t crc = static_cast<uint16_t>(~Crc16(raw.data(), 9, 0));
  EXPECT_EQ(raw[9], crc & 0xFF);
  EXPECT_EQ(raw[10], crc >> 8);

  // A file over eleven pages, a short one, and one in a subdirectory.
  Write(*d.device, "/LONG.1", Pattern(300));
  Write(*d.device, "/shrt.2", {'o', 'k'});
  OWFile(*d.device, "/LOGS").mkdir();
  Write(*d.device, "/LOGS/DAY.7", Pattern(20));
  std::vector<std::string> names;
  for (const auto& e : root.listFiles()) names.push_back(e.parent + e.name);
  EXPECT_THAT(names, ::testing::ElementsAre("/LONG.1", "/SHRT.2", "/LOGS"));
  EXPECT_EQ(OWFile(*d.device, "LOGS").listFiles().at(0).parent, "/LOGS");
  EXPECT_EQ(ReadAll(*d.device, "/LONG.1"), Pattern(300));
  EXPECT_EQ(ReadAll(*d.device, "/SHRT.2"), Bytes({'o', 'k'}));

  // Full: 16 pages less the root, 11 + 1 + 1 + 1 leave one page of 28 bytes.
  const std::string full = [&] {
    try {
      Write(*d.device, "/BIG.3", Pattern(100));
    } catch (const AccessError& e) {
      return std::string(e.what());
    }
    return std::string("(written)");
  }();
  EXPECT_THAT(full, HasSubstr("not enough room"));
  EXPECT_FALSE(OWFile(*d.device, "/BIG.3").exists());
  EXPECT_EQ(ReadAll(*d.device, "/LONG.1"), Pattern(300));

  OWFile from(*d.device, "/SHRT.2"), to(*d.device, "/LOGS/OK.3");
  from.renameTo(to);
  EXPECT_EQ(ReadAll(*d.device, "/LOGS/OK.3"), Bytes({'o', 'k'}));
  OWFile(*d.device, "/LONG.1").deleteFile();
  Write(*d.device, "/BIG.3", Pattern(100));
  EXPECT_EQ(ReadAll(*d.device, "/BIG.3"), Pattern(100));
  EXPECT_EQ(ReadAll(*d.device, "/LOGS/DAY.7"), Pattern(20));
}

// Other memory families: the DS1996's 256 pages keep the bitmap in a file of its own; write-once
// memory is refused.
TEST(FileStructureOnMemoryFamilies, LargeDevicesAndWriteOnceMemory) {
  struct Case {
    uint8_t family;
    int pages;
    size_t file_size;  // spanning many pages
  };
  for (const Case& c : {Case{0x0C, 256, 2000}, Case{0x0A, 64, 500}, Case{0x08, 4, 80}}) {
    SCOPED_TRACE(c.family);
    MemoryBus d(c.family);
    FileStructure fs(FileStructure::BankFor(d.device->getMemoryBanks(), "device"));
    fs.Format();
    const int free = fs.FreePages();
    EXPECT_EQ(free, c.pages <= 32 ? c.pages - 1 : c.pages - 1 - (c.pages / 8 + 27) / 28);
    fs.WriteFile("/BULK.1", Pattern(c.file_size));
    EXPECT_EQ(ReadAll(*d.device, "/BULK.1"), Pattern(c.file_size));
    EXPECT_EQ(fs.FreePages(), free - static_cast<int>((c.file_size + 27) / 28));
    fs.Delete("/BULK.1");
    EXPECT_EQ(fs.FreePages(), free);
  }
  MemoryBus eprom(0x09);  // DS1982
  try {
    OWFile(*eprom.device, "/").format();
    ADD_FAILURE() << "formatted write-once memory";
  } catch (const AccessError& e) {
    EXPECT_EQ(e.code(), ErrorCode::NotSupported) << e.what();
  }
}

}  // namespace
}  // namespace qb::access
