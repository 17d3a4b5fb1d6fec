#pragma once

#include <string>

typedef struct _cairo_font_face cairo_font_face_t;

namespace qb {

// A font for chart text, found through fontconfig. `name` is a family ("DejaVu Sans", "serif")
// or a font file name as chart calls give them ("times.ttf", "arialbd.ttf"): the file's stem
// names the family ("times" finds Times or the system's stand-in for it), and a "bd" or "b" ending
// asks for bold. Faces are made once and kept for the life of the process; never null (cairo's
// own default face when fontconfig finds nothing).
cairo_font_face_t* ChartFontFace(const std::string& name);

}  // namespace qb
