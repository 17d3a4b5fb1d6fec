#include "platform/chart_font.h"

#include <cairo-ft.h>
#include <cairo.h>
#include <fontconfig/fontconfig.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <mutex>

namespace qb {

namespace {

struct FontRequest {
  std::string family;
  bool bold = false;
};

// "times.ttf" asks for Times, "arialbd.ttf" for bold Arial; a plain family name is taken as is.
FontRequest ParseFontName(const std::string& name) {
  FontRequest request{name.empty() ? std::string("sans-serif") : name, false};
  std::string lower = request.family;
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  for (const char* ext : {".ttf", ".otf", ".ttc"}) {
    const std::string e(ext);
    if (lower.size() > e.size() && lower.ends_with(e)) {
      request.family = request.family.substr(0, request.family.size() - e.size());
      lower = lower.substr(0, lower.size() - e.size());
      for (const char* bold : {"bd", "b"}) {
        const std::string b(bold);
        if (lower.size() > b.size() + 2 && lower.ends_with(b)) {
          request.family = request.family.substr(0, request.family.size() - b.size());
          request.bold = true;
          break;
        }
      }
      break;
    }
  }
  return request;
}

cairo_font_face_t* MatchFace(const FontRequest& request) {
  FcPattern* pattern = FcPatternCreate();
  FcPatternAddString(pattern, FC_FAMILY, reinterpret_cast<const FcChar8*>(request.family.c_str()));
  FcPatternAddInteger(pattern, FC_WEIGHT, request.bold ? FC_WEIGHT_BOLD : FC_WEIGHT_REGULAR);
  FcPatternAddBool(pattern, FC_SCALABLE, FcTrue);
  FcConfigSubstitute(nullptr, pattern, FcMatchPattern);
  FcDefaultSubstitute(pattern);
  FcResult result = FcResultNoMatch;
  FcPattern* match = FcFontMatch(nullptr, pattern, &result);
  FcPatternDestroy(pattern);
  if (match == nullptr) return nullptr;
  cairo_font_face_t* face = cairo_ft_font_face_create_for_pattern(match);
  FcPatternDestroy(match);  // the face keeps its own reference
  if (cairo_font_face_status(face) != CAIRO_STATUS_SUCCESS) {
    cairo_font_face_destroy(face);
    return nullptr;
  }
  return face;
}

}  // namespace

cairo_font_face_t* ChartFontFace(const std::string& name) {
  static std::mutex mutex;
  static std::map<std::string, cairo_font_face_t*> faces;
  std::lock_guard lock(mutex);
  auto it = faces.find(name);
  if (it != faces.end()) return it->second;
  cairo_font_face_t* face = MatchFace(ParseFontName(name));
  if (face == nullptr) {
    face =
        cairo_toy_font_face_create("sans-serif", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
  }
  faces.emplace(name, face);
  return face;
}

}  // namespace qb

// fontconfig 2.14 loses one small block (288 bytes) when its configuration is loaded, the first
// time a pattern is substituted: once per process, not per font. The leak checker of the
// sanitizer builds is told to let it pass; without the sanitizers this function is never called.
// Weak, so that a program with a longer list of its own (the dialog tests) keeps its list.
extern "C" __attribute__((weak)) const char* __lsan_default_suppressions() {
  return "leak:libfontconfig.so\n";
}
