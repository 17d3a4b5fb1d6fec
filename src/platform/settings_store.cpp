#include "platform/settings_store.h"

#include <strings.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>

#include "platform/atomic_file.h"

namespace qb {

bool CaseInsensitiveLess::operator()(const std::string& a, const std::string& b) const {
  return strcasecmp(a.c_str(), b.c_str()) < 0;
}

namespace {

bool SameName(const std::string& a, const std::string& b) {
  return a.size() == b.size() && strcasecmp(a.c_str(), b.c_str()) == 0;
}

// The modification time and size of a file, as one text that changes whenever it is saved;
// empty when there is no file.
std::string FileStamp(const std::filesystem::path& path) {
  if (path.empty()) return {};
  std::error_code ec;
  const auto when = std::filesystem::last_write_time(path, ec);
  if (ec) return {};
  const auto size = std::filesystem::file_size(path, ec);
  return std::to_string(when.time_since_epoch().count()) + "/" + std::to_string(ec ? 0 : size);
}

std::string Trim(const std::string& s) {
  const auto first = s.find_first_not_of(" \t\r");
  if (first == std::string::npos) return {};
  const auto last = s.find_last_not_of(" \t\r");
  return s.substr(first, last - first + 1);
}

void CheckName(const std::string& what, const std::string& name) {
  if (name.find_first_of("=\r\n]") != std::string::npos ||
      (!name.empty() && (name[0] == ';' || name[0] == '#' || name[0] == '['))) {
    throw std::invalid_argument("settings " + what + " \"" + name +
                                "\" contains a character the settings file cannot hold");
  }
}

// Values are single-line texts; one with blanks at either end is quoted so that they survive.
std::string EncodeValue(const std::string& value) {
  std::string v = value;
  for (char& c : v) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  if (!v.empty() && (v.front() == ' ' || v.back() == ' ' || v.front() == '\t' || v.back() == '\t' ||
                     (v.size() >= 2 && v.front() == '"' && v.back() == '"'))) {
    return "\"" + v + "\"";
  }
  return v;
}

std::string DecodeValue(const std::string& raw) {
  std::string v = Trim(raw);
  if (v.size() >= 2 && v.front() == '"' && v.back() == '"') return v.substr(1, v.size() - 2);
  return v;
}

}  // namespace

std::string SettingsFileSizeProblem(const std::filesystem::path& path) {
  std::error_code ec;
  const auto size = std::filesystem::file_size(path, ec);
  if (ec || size <= kMaxSettingsFileBytes) return {};
  return "the settings file " + path.string() + " is " + std::to_string(size) +
         " bytes long; a settings file may be at most " + std::to_string(kMaxSettingsFileBytes) +
         " bytes (1 MB). It was left as it is: shorten it, or start with another file (--settings)";
}

IniSettingsStore::IniSettingsStore(std::filesystem::path path) : path_(std::move(path)) {}

bool IniSettingsStore::Parse(const std::string& text, std::vector<Section>& out,
                             std::string& error) {
  out.clear();
  std::istringstream in(text);
  std::string line;
  int number = 0;
  Section* current = nullptr;
  // Where each section and each key of the current section are, so that a file of many lines
  // is read in one pass instead of searching every earlier line for each new one.
  std::map<std::string, size_t, CaseInsensitiveLess> section_at;
  std::vector<std::map<std::string, size_t, CaseInsensitiveLess>> key_at;
  size_t current_index = 0;
  while (std::getline(in, line)) {
    ++number;
    if (number == 1 && line.rfind("\xEF\xBB\xBF", 0) == 0)
      line.erase(0, 3);  // UTF-8 byte-order mark
    const std::string t = Trim(line);
    if (t.empty() || t[0] == ';' || t[0] == '#') continue;
    if (t[0] == '[') {
      // A name of blanks only ("[ ]") would be written back as "[]", which cannot be read.
      const std::string name = t.size() >= 2 ? Trim(t.substr(1, t.size() - 2)) : std::string();
      if (t.back() != ']' || name.empty()) {
        error = "line " + std::to_string(number) + ": a section header must look like [Name]: \"" +
                t + "\"";
        return false;
      }
      const auto [at, added] = section_at.emplace(name, out.size());
      if (added) {
        out.push_back(Section{name, {}});
        key_at.emplace_back();
      }
      current_index = at->second;
      current = &out[current_index];
      continue;
    }
    const auto eq = t.find('=');
    if (eq == std::string::npos || eq == 0) {
      error = "line " + std::to_string(number) + ": expected key=value: \"" + t + "\"";
      return false;
    }
    if (!current) {
      error =
          "line " + std::to_string(number) + ": a value before the first [section]: \"" + t + "\"";
      return false;
    }
    const std::string key = Trim(t.substr(0, eq));
    const std::string value = DecodeValue(t.substr(eq + 1));
    const auto [at, added] = key_at[current_index].emplace(key, current->entries.size());
    if (added) {
      current->entries.emplace_back(key, value);
    } else {
      // A repeated key: the later line wins, as it would when written twice.
      current->entries[at->second].second = value;
    }
  }
  return true;
}

std::string IniSettingsStore::Serialise(const std::vector<Section>& sections) {
  std::string text;
  for (const auto& s : sections) {
    if (s.entries.empty()) continue;
    if (!text.empty()) text += '\n';
    text += "[" + s.name + "]\n";
    for (const auto& [k, v] : s.entries) text += k + "=" + EncodeValue(v) + "\n";
  }
  return text;
}

std::string IniSettingsStore::Load() {
  refused_.clear();
  sections_.clear();
  dirty_ = false;
  changes_.clear();
  synced_stamp_ = FileStamp(path_);
  if (path_.empty()) return {};
  std::error_code ec;
  // A save cut short by a kill leaves its temporary file beside the settings file: never read,
  // never removed by the saves that follow.
  RemoveStaleTempFiles(path_);
  if (!std::filesystem::exists(path_, ec)) return {};
  if (std::string problem = SettingsFileSizeProblem(path_); !problem.empty()) {
    // Neither read nor moved aside: the user's file stays as it is, and the store never writes
    // over it.
    refused_ = problem;
    return problem;
  }
  std::ifstream in(path_, std::ios::binary);
  if (!in) return "cannot read settings file " + path_.string() + "; using the defaults";
  std::stringstream buffer;
  buffer << in.rdbuf();
  std::vector<Section> parsed;
  std::string error;
  if (Parse(buffer.str(), parsed, error)) {
    sections_ = std::move(parsed);
    return {};
  }
  // Keep the broken file for the user to inspect; never overwrite it.
  const auto stamp = std::chrono::duration_cast<std::chrono::seconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
  std::filesystem::path aside = path_;
  aside += ".broken-" + std::to_string(stamp);
  for (int n = 1; std::filesystem::exists(aside, ec); ++n) {
    aside = path_;
    aside += ".broken-" + std::to_string(stamp) + "-" + std::to_string(n);
  }
  std::filesystem::rename(path_, aside, ec);
  if (ec) {
    return "settings file " + path_.string() + " cannot be parsed (" + error +
           ") and could not be moved aside (" + ec.message() + "); using the defaults";
  }
  return "settings file " + path_.string() + " cannot be parsed (" + error + "); it was moved to " +
         aside.string() + " and the defaults are used";
}

IniSettingsStore::Section* IniSettingsStore::FindSection(const std::string& name) {
  for (auto& s : sections_) {
    if (SameName(s.name, name)) return &s;
  }
  return nullptr;
}

const IniSettingsStore::Section* IniSettingsStore::FindSection(const std::string& name) const {
  for (const auto& s : sections_) {
    if (SameName(s.name, name)) return &s;
  }
  return nullptr;
}

std::optional<std::string> IniSettingsStore::Get(const std::string& section,
                                                 const std::string& key) const {
  if (const Section* s = FindSection(section)) {
    for (const auto& [k, v] : s->entries) {
      if (SameName(k, key)) return v;
    }
  }
  return std::nullopt;
}

void IniSettingsStore::Set(const std::string& section, const std::string& key,
                           const std::string& value) {
  CheckName("section", section);
  CheckName("key", key);
  if (!Put(section, key, value)) return;
  changes_.push_back(Change{section, key, value});
  Changed();
}

void IniSettingsStore::Remove(const std::string& section, const std::string& key) {
  if (!Erase(section, key)) return;
  changes_.push_back(Change{section, key, std::nullopt});
  Changed();
}

bool IniSettingsStore::Put(const std::string& section, const std::string& key,
                           const std::string& value) {
  Section* s = FindSection(section);
  if (!s) {
    sections_.push_back(Section{section, {}});
    s = &sections_.back();
  }
  for (auto& [k, v] : s->entries) {
    if (SameName(k, key)) {
      if (v == value) return false;
      v = value;
      return true;
    }
  }
  s->entries.emplace_back(key, value);
  return true;
}

bool IniSettingsStore::Erase(const std::string& section, const std::string& key) {
  Section* s = FindSection(section);
  if (!s) return false;
  for (auto it = s->entries.begin(); it != s->entries.end(); ++it) {
    if (SameName(it->first, key)) {
      s->entries.erase(it);
      return true;
    }
  }
  return false;
}

void IniSettingsStore::MergeChangesOnDisk() {
  if (FileStamp(path_) == synced_stamp_) return;
  if (std::string problem = SettingsFileSizeProblem(path_); !problem.empty()) {
    // Someone made the file too big to read since: writing the store's view would lose it.
    throw std::runtime_error(problem + "; the change was not saved");
  }
  std::ifstream in(path_, std::ios::binary);
  if (!in) return;  // gone or unreadable: what the store holds is written
  std::stringstream buffer;
  buffer << in.rdbuf();
  std::vector<Section> parsed;
  std::string error;
  // A file someone is halfway through saving, or broke, is not taken over: the store's own view
  // is written, as before this check.
  if (!Parse(buffer.str(), parsed, error)) return;
  sections_ = std::move(parsed);
  for (const auto& change : changes_) {
    if (change.value) {
      Put(change.section, change.key, *change.value);
    } else {
      Erase(change.section, change.key);
    }
  }
}

std::vector<std::string> IniSettingsStore::Keys(const std::string& section) const {
  std::vector<std::string> keys;
  if (const Section* s = FindSection(section)) {
    for (const auto& entry : s->entries) keys.push_back(entry.first);
  }
  return keys;
}

void IniSettingsStore::Changed() {
  dirty_ = true;
  if (batch_depth_ > 0) return;
  try {
    Flush();
  } catch (const std::exception& e) {
    last_write_error_ = e.what();
  }
}

void IniSettingsStore::EndBatch() {
  if (batch_depth_ > 0) --batch_depth_;
  if (batch_depth_ == 0 && dirty_) Changed();
}

void IniSettingsStore::Flush() {
  if (path_.empty()) {
    dirty_ = false;
    return;
  }
  if (!refused_.empty()) throw std::runtime_error(refused_ + "; the change was not saved");
  MergeChangesOnDisk();
  // The store may hold a database password: readable by its owner only.
  WriteFileAtomically(path_, Serialise(sections_), 0600);
  dirty_ = false;
  changes_.clear();
  synced_stamp_ = FileStamp(path_);
  last_write_error_.clear();
}

}  // namespace qb
