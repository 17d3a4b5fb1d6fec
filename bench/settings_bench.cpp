// Reading a settings file of many valid lines (one section of distinct keys, the shape that made
// reading slow) at 1, 3 and 6 MB: the time of each, and the ratio of the 6 MB time to six times
// the 1 MB one (near 1 when reading grows linearly with the file; it was 5.6 when each line was
// compared with every earlier one). Parses the text in memory: the size limit on files does not
// apply here.
//
//   settings_bench [--short]
//
// --short reads the 1 MB text once: the run the test suite makes.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/settings_store.h"

namespace {

using Seconds = std::chrono::duration<double>;

std::string MakeText(size_t bytes) {
  std::string text = "[Devices]\n";
  char line[64];
  for (size_t n = 0; text.size() < bytes; ++n) {
    std::snprintf(line, sizeof line, "Key%08zu=value of key %zu\n", n, n);
    text += line;
  }
  return text;
}

double ParseSeconds(const std::string& text, size_t& keys) {
  std::vector<qb::IniSettingsStore::Section> sections;
  std::string error;
  const auto start = std::chrono::steady_clock::now();
  if (!qb::IniSettingsStore::Parse(text, sections, error)) {
    std::fprintf(stderr, "settings_bench: the generated text does not parse: %s\n", error.c_str());
    std::exit(1);
  }
  const double seconds = Seconds(std::chrono::steady_clock::now() - start).count();
  keys = sections.empty() ? 0 : sections[0].entries.size();
  return seconds;
}

}  // namespace

int main(int argc, char** argv) {
  const bool short_run = argc > 1 && std::strcmp(argv[1], "--short") == 0;
  const std::vector<size_t> sizes =
      short_run ? std::vector<size_t>{1} : std::vector<size_t>{1, 3, 6};
  double one_mb = 0, largest = 0;
  for (size_t mb : sizes) {
    const std::string text = MakeText(mb << 20);
    size_t keys = 0;
    const double seconds = ParseSeconds(text, keys);
    std::printf("%zu MB (%zu keys): %.3f s\n", mb, keys, seconds);
    std::fflush(stdout);
    if (mb == 1) one_mb = seconds;
    largest = seconds;
  }
  if (!short_run && one_mb > 0)
    std::printf("6 MB / (6 x 1 MB): %.2f (1 is linear)\n", largest / (6 * one_mb));
  return 0;
}
