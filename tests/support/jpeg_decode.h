#pragma once

// libjpeg's header needs size_t and FILE declared before it (the comments keep the order).
#include <cstddef>
#include <cstdio>
//
#include <jpeglib.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace qb::test {

// A decoded JPEG: RGB bytes, row after row.
struct DecodedImage {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> rgb;
  // The pixel as 0xRRGGBB.
  uint32_t At(int x, int y) const {
    const size_t i = (static_cast<size_t>(y) * width + x) * 3;
    return (uint32_t{rgb[i]} << 16) | (uint32_t{rgb[i + 1]} << 8) | rgb[i + 2];
  }
};

// Decodes JPEG bytes with libjpeg (its default error handling ends the process on a broken file,
// which fails the test as surely).
inline DecodedImage DecodeJpeg(const std::string& bytes) {
  jpeg_decompress_struct info{};
  jpeg_error_mgr errors{};
  info.err = jpeg_std_error(&errors);
  jpeg_create_decompress(&info);
  jpeg_mem_src(&info, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
  if (jpeg_read_header(&info, TRUE) != JPEG_HEADER_OK) throw std::runtime_error("not a JPEG");
  info.out_color_space = JCS_RGB;
  jpeg_start_decompress(&info);
  DecodedImage image;
  image.width = static_cast<int>(info.output_width);
  image.height = static_cast<int>(info.output_height);
  image.rgb.resize(static_cast<size_t>(image.width) * image.height * 3);
  while (info.output_scanline < info.output_height) {
    JSAMPROW row = image.rgb.data() + static_cast<size_t>(info.output_scanline) * image.width * 3;
    jpeg_read_scanlines(&info, &row, 1);
  }
  jpeg_finish_decompress(&info);
  jpeg_destroy_decompress(&info);
  return image;
}

// True when the pixel is far from the colour (JPEG blurs colours a little).
inline bool Differs(uint32_t pixel, uint32_t colour, int tolerance = 60) {
  int sum = 0;
  for (int shift : {16, 8, 0}) {
    const int a = static_cast<int>((pixel >> shift) & 0xFF),
              b = static_cast<int>((colour >> shift) & 0xFF);
    sum += a > b ? a - b : b - a;
  }
  return sum > tolerance;
}

inline std::string ReadFileBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace qb::test
