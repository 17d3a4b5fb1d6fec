#include "access/file_structure.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <iterator>

#include "access/errors.h"
#include "access/owfile.h"
#include "access/owfile_streams.h"
#include "support/ram_memory_bank.h"

namespace qb::access {
namespace {

using test::RamPagedMemoryBank;
using ::testing::HasSubstr;

Bytes Pattern(size_t n, uint8_t seed) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i * 7);
  return b;
}

std::string ErrorOf(const std::function<void()>& call) {
  try {
    call();
  } catch (const AccessError& e) {
    return e.what();
  }
  return "(no error)";
}

std::vector<std::string> Names(const std::vector<FileEntry>& entries) {
  std::vector<std::string> names;
  for (const auto& e : entries) names.push_back(e.parent + "|" + e.name + (e.directory ? "/" : ""));
  return names;
}

// 16 pages keep the bitmap in the root's control entry (a DS1993); 64 pages need the bitmap file.
class FileStructureTest : public ::testing::TestWithParam<int> {
 protected:
  std::shared_ptr<RamPagedMemoryBank> bank = std::make_shared<RamPagedMemoryBank>(GetParam(), 32);
  FileStructure fs{bank};
};

TEST_P(FileStructureTest, FilesRoundTripThroughFormatListRenameAndDelete) {
  OWFile root(bank, "/");
  EXPECT_FALSE(root.exists());
  EXPECT_FALSE(root.isDirectory());
  root.format();
  EXPECT_TRUE(root.exists() && root.isDirectory() && !root.isFile());
  const int empty_free = fs.FreePages();
  EXPECT_EQ(empty_free, GetParam() == 16 ? 15 : 63 - 1);  // page 0, and the bitmap file

  // Sizes around the 28 data bytes of a page, and a file over several pages.
  const std::vector<std::pair<std::string, size_t>> files = {
      {"/EMPT.0", 0}, {"/ONE.1", 1}, {"/FULL.2", 28}, {"/OVER.3", 29}, {"/LONG.99", 120}};
  for (const auto& [path, size] : files) fs.WriteFile(path, Pattern(size, size & 0xFF));
  fs.MakeDirectory("/DIR");
  fs.WriteFile("/dir/log.7", Pattern(40, 3));  // names are upper-cased
  EXPECT_THAT(Names(fs.List("/")), ::testing::ElementsAre("/|EMPT.0", "/|ONE.1", "/|FULL.2",
                                                          "/|OVER.3", "/|LONG.99", "/|DIR/"));
  EXPECT_THAT(Names(fs.List("/DIR")), ::testing::ElementsAre("/DIR|LOG.7"));
  for (const auto& [path, size] : files) EXPECT_EQ(fs.ReadFile(path), Pattern(size, size & 0xFF));
  EXPECT_EQ(fs.ReadFile("/DIR/LOG.7"), Pattern(40, 3));
  EXPECT_EQ(fs.Find("/LONG.99")->page_count, 5);

  // Replacing a file (on 16 pages with one free page and its own), renaming in place and into
  // the directory.
  fs.WriteFile("/ONE.1", Pattern(50, 9));
  EXPECT_EQ(fs.ReadFile("/ONE.1"), Pattern(50, 9));
  OWFile one(bank, "/ONE.1"), renamed(bank, "/DIR/TWO.2");
  one.renameTo(renamed);
  EXPECT_FALSE(one.exists());
  EXPECT_TRUE(renamed.isFile());
  EXPECT_EQ(fs.ReadFile("/DIR/TWO.2"), Pattern(50, 9));
  fs.Rename("/FULL.2", "/FULL.5");
  EXPECT_EQ(fs.ReadFile("/FULL.5"), Pattern(28, 28));
  EXPECT_THAT(ErrorOf([&] { fs.Rename("/FULL.5", "/OVER.3"); }), HasSubstr("exists already"));
  EXPECT_THAT(ErrorOf([&] { fs.Delete("/DIR"); }), HasSubstr("not empty"));

  // Deleting everything gives every page back.
  for (const std::string path :
       {"/EMPT.0", "/FULL.5", "/OVER.3", "/LONG.99", "/DIR/LOG.7", "/DIR/TWO.2", "/DIR"})
    fs.Delete(path);
  EXPECT_TRUE(fs.List("/").empty());
  EXPECT_EQ(fs.FreePages(), empty_free);
  EXPECT_THAT(ErrorOf([&] { fs.ReadFile("/EMPT.0"); }), HasSubstr("no file \"/EMPT.0\""));
}

TEST_P(FileStructureTest, AFullDeviceRefusesTheWriteAndKeepsEveryFile) {
  fs.Format();
  fs.WriteFile("/KEEP.1", Pattern(40, 1));
  int n = 0;
  std::string error;
  while (error.empty() && n < 300) {
    error = ErrorOf([&] { fs.WriteFile("/F" + std::to_string(n) + ".0", Pattern(20, n)); });
    if (error == "(no error)") error.clear(), ++n;
  }
  EXPECT_THAT(error, HasSubstr("not enough room"));
  EXPECT_THAT(error, HasSubstr("nothing was changed"));
  const int free_after = fs.FreePages();
  EXPECT_THAT(ErrorOf([&] { fs.WriteFile("/KEEP.1", Pattern(2000, 0)); }),
              HasSubstr("not enough room"));
  EXPECT_EQ(fs.FreePages(), free_after);
  EXPECT_EQ(fs.ReadFile("/KEEP.1"), Pattern(40, 1));
  for (int i = 0; i < n; ++i)
    EXPECT_EQ(fs.ReadFile("/F" + std::to_string(i) + ".0"), Pattern(20, i));
  // Replacing a file may reuse its own pages when no others are free.
  fs.WriteFile("/KEEP.1", Pattern(50, 2));
  EXPECT_EQ(fs.ReadFile("/KEEP.1"), Pattern(50, 2));
}

INSTANTIATE_TEST_SUITE_P(Geometries, FileStructureTest, ::testing::Values(16, 64));

// Broken structures: each is reported as an error naming what is broken, never followed round a
// loop or off the device.
TEST(FileStructureCorruption, BrokenChainsAndDirectoriesAreReported) {
  struct Case {
    const char* what;
    std::function<void(RamPagedMemoryBank&, int file_page)> damage;
    std::string call;  // "read" the file, "list" the root, "sub" lists the subdirectory
    const char* message;
  };
  const std::vector<Case> cases = {
      {"packet CRC", [](auto& b, int p) { b.bytes()[p * 32 + 5] ^= 0x40; }, "read",
       "holds no valid packet"},
      {"packet length beyond the page", [](auto& b, int p) { b.bytes()[p * 32] = 31; }, "read",
       "holds no valid packet"},
      {"continuation loop",
       [](auto& b, int p) {
         Bytes d = b.readPagePacket(p + 1);
         d.back() = static_cast<uint8_t>(p);
         b.writePagePacket(p + 1, d);
       },
       "read", "a loop"},
      {"continuation off the device",
       [](auto& b, int p) {
         Bytes d = b.readPagePacket(p);
         d.back() = 200;
         b.writePagePacket(p, d);
       },
       "read", "outside the device's 16 pages"},
      {"entry pointing off the device",
       [](auto& b, int) {
         Bytes d = b.readPagePacket(0);
         d[7 + 5] = 77;  // start page of the first entry
         b.writePagePacket(0, d);
       },
       "read", "page 77, outside the device's 16 pages"},
      {"directory page of the wrong size",
       [](auto& b, int) {
         Bytes d = b.readPagePacket(0);
         d.insert(d.begin() + 7, 0x20);
         b.writePagePacket(0, d);
       },
       "list", "does not hold directory entries"},
      {"two entries on one page",
       [](auto& b, int p) {
         Bytes d = b.readPagePacket(0);
         d[14 + 5] = static_cast<uint8_t>(p);  // the directory starts where the file does
         b.writePagePacket(0, d);
       },
       "list", "which another entry or the directory itself uses"},
      {"subdirectory pointing back at the root",
       [](auto& b, int) {
         Bytes d = b.readPagePacket(0);
         d[14 + 5] = 0;  // start page of the second entry, the directory
         b.writePagePacket(0, d);
       },
       "sub", "points back to one of its parents"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto bank = std::make_shared<RamPagedMemoryBank>(16, 32);
    FileStructure fs(bank);
    fs.Format();
    fs.WriteFile("/DATA.1", Pattern(70, 5));
    fs.MakeDirectory("/SUB");
    c.damage(*bank, fs.Find("/DATA.1")->start_page);
    const std::string error = ErrorOf([&] {
      if (c.call == "read") fs.ReadFile("/DATA.1");
      if (c.call == "list") fs.List("/");
      if (c.call == "sub") fs.List("/SUB");
    });
    EXPECT_THAT(error, HasSubstr(c.message));
  }
}

TEST(FileStructureRefusals, UnformattedWriteOnceAndBadNamesAreClearErrors) {
  auto bank = std::make_shared<RamPagedMemoryBank>(16, 32);
  FileStructure fs(bank);
  EXPECT_FALSE(fs.Find("/").has_value());
  EXPECT_THAT(ErrorOf([&] { fs.WriteFile("/A.1", {1}); }), HasSubstr("no 1-Wire file structure"));
  EXPECT_THAT(ErrorOf([&] { OWFileOutputStream(bank, "/A.1"); }),
              HasSubstr("no 1-Wire file structure"));
  fs.Format();
  for (const std::string bad : {"/TOOLONG.1", "/A.X", "/A.127", "/A.100", "/.1", "/NO/A.1"})
    EXPECT_NE(ErrorOf([&] { fs.WriteFile(bad, {1}); }), "(no error)") << bad;
  EXPECT_TRUE(fs.List("/").empty());

  auto eprom = std::make_shared<RamPagedMemoryBank>(16, 32, /*read_write=*/false);
  try {
    FileStructure(eprom).Format();
    ADD_FAILURE() << "formatted write-once memory";
  } catch (const AccessError& e) {
    EXPECT_EQ(e.code(), ErrorCode::NotSupported);
  }
}

// A file whose extension byte carries the read-only mark (set by another program) cannot be
// replaced, deleted or renamed, through the file structure or the file classes; it stays readable
// and unchanged.
TEST(FileStructureRefusals, AReadOnlyFileCannotBeChangedAndStaysIntact) {
  auto bank = std::make_shared<RamPagedMemoryBank>(16, 32);
  FileStructure fs(bank);
  fs.Format();
  fs.WriteFile("/KEEP.3", Pattern(40, 8));
  fs.WriteFile("/FREE.1", Pattern(5, 1));
  Bytes root = bank->readPagePacket(0);
  ASSERT_EQ(std::string(root.begin() + 7, root.begin() + 11), "KEEP");
  root[7 + 4] |= 0x80;
  bank->writePagePacket(0, root);
  const Bytes image = bank->bytes();

  const std::vector<std::pair<const char*, std::function<void()>>> changes = {
      {"write", [&] { fs.WriteFile("/KEEP.3", Pattern(3, 2)); }},
      {"delete", [&] { fs.Delete("/KEEP.3"); }},
      {"rename", [&] { fs.Rename("/KEEP.3", "/MOVE.4"); }},
      {"file delete", [&] { OWFile(bank, "/KEEP.3").deleteFile(); }},
      {"file rename",
       [&] {
         OWFile to(bank, "/MOVE.4");
         OWFile(bank, "/KEEP.3").renameTo(to);
       }},
      {"stream",
       [&] {
         OWFileOutputStream out(bank, "/KEEP.3");
         out.write(Pattern(3, 2));
         out.close();
       }},
  };
  for (const auto& [what, change] : changes) {
    SCOPED_TRACE(what);
    EXPECT_THAT(ErrorOf(change), HasSubstr("\"/KEEP.3\" is read-only"));
    EXPECT_EQ(bank->bytes(), image);
  }
  EXPECT_EQ(fs.ReadFile("/KEEP.3"), Pattern(40, 8));
  EXPECT_THAT(Names(fs.List("/")), ::testing::ElementsAre("/|KEEP.3", "/|FREE.1"));
  fs.Delete("/FREE.1");  // the other files stay changeable
  EXPECT_THAT(Names(fs.List("/")), ::testing::ElementsAre("/|KEEP.3"));
}

// Images built apart from this code, byte by byte from the layout (the fuzzer's seeds): the root
// with a file over two pages and a subdirectory, and a 64-page device with its bitmap file.
TEST(FileStructureImages, ImagesBuiltElsewhereReadBack) {
  auto load = [](const std::string& name, int pages) {
    std::ifstream in(std::string(QB_FUZZ_CORPUS) + "/file_structure/" + name, std::ios::binary);
    const Bytes image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    auto bank = std::make_shared<RamPagedMemoryBank>(pages, 32);
    EXPECT_EQ(image.size(), bank->bytes().size() + 1) << name;
    std::copy(image.begin() + 1, image.end(), bank->bytes().begin());
    return bank;
  };
  FileStructure small(load("small.bin", 16));
  EXPECT_THAT(Names(small.List("/")), ::testing::ElementsAre("/|DATA.1", "/|SUB/"));
  Bytes data;
  for (int i = 0; i < 28; ++i) data.push_back(i);
  for (int i = 0; i < 10; ++i) data.push_back(i);
  EXPECT_EQ(small.ReadFile("/DATA.1"), data);
  EXPECT_EQ(small.ReadFile("/SUB/LOG.7"), Bytes({'h', 'e', 'l', 'l', 'o'}));
  EXPECT_EQ(small.FreePages(), 11);
  FileStructure large(load("large.bin", 64));
  EXPECT_EQ(large.ReadFile("/BIG.5"), Bytes(20, 'x'));
  EXPECT_EQ(large.FreePages(), 61);
  large.WriteFile("/NEW.1", Bytes(100, 1));
  EXPECT_EQ(large.FreePages(), 57);
  EXPECT_EQ(large.ReadFile("/BIG.5"), Bytes(20, 'x'));
}

TEST(FileStreams, AFileOf100BytesReadsBackAsExactly100) {
  auto bank = std::make_shared<RamPagedMemoryBank>(16, 32);
  OWFile(bank, "/").format();
  ByteBuffer out(120);
  for (int i = 0; i < out.length(); ++i) out.set(i, static_cast<uint8_t>(255 - i));
  OWFileOutputStream writer(bank, "/TEXT.1");
  writer.write(out, 10, 100);
  writer.flush();
  writer.close();
  OWFileInputStream reader(bank, "/TEXT.1");
  ByteBuffer in(1024000);
  EXPECT_EQ(reader.read(in), 100);
  EXPECT_EQ(reader.read(in), 0);
  reader.close();
  for (int i = 0; i < 100; ++i) ASSERT_EQ(in.get(i), out.get(i + 10)) << i;
  EXPECT_THAT(ErrorOf([&] { in.get(1024000); }), HasSubstr("outside the buffer"));
  EXPECT_THAT(ErrorOf([&] { writer.write(out, 0, 1); }), HasSubstr("closed"));
  // Opened and closed without writing: an empty file.
  OWFileOutputStream(bank, "/NONE.2").close();
  EXPECT_EQ(OWFile(bank, "/NONE.2").length(), 0);
}

}  // namespace
}  // namespace qb::access
