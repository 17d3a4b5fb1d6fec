#pragma once

#include <cstdint>
#include <string>

namespace qb {

// Encodes an image of 32-bit pixels (0xAARRGGBB in native byte order, rows `stride` bytes apart,
// as cairo's ARGB32 and RGB24 surfaces hold them) as a baseline JPEG of the given quality (1 to
// 100). Alpha is ignored. Returns the file's bytes; throws std::runtime_error on failure.
std::string EncodeJpeg(const unsigned char* pixels, int width, int height, int stride, int quality);

}  // namespace qb
