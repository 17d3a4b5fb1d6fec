#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace qb {

// Orders strings without regard to ASCII case, so "ChartY" and "Charty" are one key.
struct CaseInsensitiveLess {
  bool operator()(const std::string& a, const std::string& b) const;
};

// A per-user store of named string values addressed by section and key. Sections and keys are
// compared without regard to case.
class SettingsStore {
 public:
  virtual ~SettingsStore() = default;
  virtual std::optional<std::string> Get(const std::string& section,
                                         const std::string& key) const = 0;
  virtual void Set(const std::string& section, const std::string& key,
                   const std::string& value) = 0;
  virtual void Remove(const std::string& section, const std::string& key) = 0;
  // Keys of one section, in the store's order.
  virtual std::vector<std::string> Keys(const std::string& section) const = 0;
  // Changes between BeginBatch and EndBatch may be written to the backing file once, at the end.
  virtual void BeginBatch() {}
  virtual void EndBatch() {}

  // Convenience: the stored value or the caller's default.
  std::string GetOr(const std::string& section, const std::string& key,
                    const std::string& fallback) const {
    return Get(section, key).value_or(fallback);
  }
};

// The settings store kept as an INI file: one [section] per section, "key=value" lines. Every
// change is written back at once through a temporary file and a rename, so a crash never leaves
// a half-written file. A batch (BeginBatch/EndBatch) defers the write to its end. A file changed
// by someone else since the store last read or wrote it (a user's editor while the program runs)
// is read again before a write, and only the store's own changes since then are put over it, so
// neither side's changes are lost.
class IniSettingsStore : public SettingsStore {
 public:
  // An empty path keeps the values in memory only (used by tests and tools).
  explicit IniSettingsStore(std::filesystem::path path = {});

  // Reads the file. A missing file is an empty store. A file that cannot be parsed is renamed
  // aside (its new name is reported in the returned message) and the store starts empty; the
  // returned text is empty when the file was read cleanly or was absent. A file larger than
  // kMaxSettingsFileBytes is not read and left untouched: the message says so, and the store
  // then keeps its values in memory and refuses to write. Temporary files of a save cut short
  // are removed.
  std::string Load();

  std::optional<std::string> Get(const std::string& section, const std::string& key) const override;
  void Set(const std::string& section, const std::string& key, const std::string& value) override;
  void Remove(const std::string& section, const std::string& key) override;
  std::vector<std::string> Keys(const std::string& section) const override;

  void BeginBatch() override { ++batch_depth_; }
  void EndBatch() override;

  // Writes the file now. Throws std::runtime_error with a readable message on failure.
  void Flush();
  // The message of the last failed automatic write, empty when the last write succeeded.
  const std::string& LastWriteError() const { return last_write_error_; }

  const std::filesystem::path& path() const { return path_; }

  struct Section {
    std::string name;
    std::vector<std::pair<std::string, std::string>> entries;  // in file order
  };
  // Parses INI text; on a malformed line returns false and says which line and why in `error`.
  static bool Parse(const std::string& text, std::vector<Section>& out, std::string& error);
  // The INI text of the given sections.
  static std::string Serialise(const std::vector<Section>& sections);

 private:
  Section* FindSection(const std::string& name);
  const Section* FindSection(const std::string& name) const;
  // Puts or removes one value in memory; true when that changed something.
  bool Put(const std::string& section, const std::string& key, const std::string& value);
  bool Erase(const std::string& section, const std::string& key);
  void Changed();
  // Before a write: the file as it is now, with this store's own changes since its last read or
  // write put over it, when someone else changed it meanwhile.
  void MergeChangesOnDisk();

  // This store's changes since it last read or wrote the file (no value: removed), and the file's
  // modification time and size then.
  struct Change {
    std::string section, key;
    std::optional<std::string> value;
  };
  std::vector<Change> changes_;
  std::string synced_stamp_;

  std::filesystem::path path_;
  std::vector<Section> sections_;
  int batch_depth_ = 0;
  bool dirty_ = false;
  std::string last_write_error_;
  std::string refused_;  // why the file was not read; the store never writes over it
};

// The largest settings file read: far beyond any real one, small enough to read at once.
inline constexpr std::uintmax_t kMaxSettingsFileBytes = 1 << 20;
// Empty when the file at `path` is absent or small enough to read; otherwise the message that
// refuses it.
std::string SettingsFileSizeProblem(const std::filesystem::path& path);

// Groups several changes into one write of the file.
class SettingsBatch {
 public:
  explicit SettingsBatch(SettingsStore& store) : store_(store) { store_.BeginBatch(); }
  ~SettingsBatch() { store_.EndBatch(); }
  SettingsBatch(const SettingsBatch&) = delete;
  SettingsBatch& operator=(const SettingsBatch&) = delete;

 private:
  SettingsStore& store_;
};

}  // namespace qb
