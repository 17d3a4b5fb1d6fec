// Parses arbitrary text as a settings file: the parser must accept it or refuse it with a
// message, and what it accepts must be written as text that reads back as itself (line breaks
// inside a value are written as blanks and sections without entries are left out, so the first
// writing may differ from the input; writing what was read back must not change it again).

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/settings_store.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using Store = qb::IniSettingsStore;
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::vector<Store::Section> sections;
  std::string error;
  if (!Store::Parse(text, sections, error)) {
    if (error.empty()) std::abort();  // a refusal always says why
    return 0;
  }
  const std::string written = Store::Serialise(sections);
  std::vector<Store::Section> again;
  if (!Store::Parse(written, again, error)) std::abort();
  if (Store::Serialise(again) != written) std::abort();
  return 0;
}
