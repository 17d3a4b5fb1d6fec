#include "platform/chart_jpeg.h"

#include <jpeglib.h>

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace qb {

namespace {

// libjpeg reports errors through a callback that must not return: it jumps back to the encoder,
// which turns the message into an exception once libjpeg's state is cleaned up.
struct ErrorManager {
  jpeg_error_mgr base;
  std::jmp_buf jump;
  char message[JMSG_LENGTH_MAX];
};

void OnError(j_common_ptr info) {
  auto* errors = reinterpret_cast<ErrorManager*>(info->err);
  (*info->err->format_message)(info, errors->message);
  std::longjmp(errors->jump, 1);
}

}  // namespace

std::string EncodeJpeg(const unsigned char* pixels, int width, int height, int stride,
                       int quality) {
  if (width <= 0 || height <= 0) throw std::runtime_error("JPEG: the image has no pixels");
  jpeg_compress_struct info{};
  ErrorManager errors{};
  info.err = jpeg_std_error(&errors.base);
  errors.base.error_exit = OnError;
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  std::vector<JSAMPLE> row(static_cast<size_t>(width) * 3);
  if (setjmp(errors.jump) != 0) {
    jpeg_destroy_compress(&info);
    std::free(buffer);
    throw std::runtime_error(std::string("JPEG encoding failed: ") + errors.message);
  }
  jpeg_create_compress(&info);
  jpeg_mem_dest(&info, &buffer, &size);
  info.image_width = static_cast<JDIMENSION>(width);
  info.image_height = static_cast<JDIMENSION>(height);
  info.input_components = 3;
  info.in_color_space = JCS_RGB;
  jpeg_set_defaults(&info);
  jpeg_set_quality(&info, quality, TRUE);
  jpeg_start_compress(&info, TRUE);
  while (info.next_scanline < info.image_height) {
    const auto* src = reinterpret_cast<const uint32_t*>(
        pixels + static_cast<size_t>(info.next_scanline) * stride);
    for (int x = 0; x < width; ++x) {
      const uint32_t p = src[x];
      row[x * 3] = static_cast<JSAMPLE>((p >> 16) & 0xFF);
      row[x * 3 + 1] = static_cast<JSAMPLE>((p >> 8) & 0xFF);
      row[x * 3 + 2] = static_cast<JSAMPLE>(p & 0xFF);
    }
    JSAMPROW rows[1] = {row.data()};
    jpeg_write_scanlines(&info, rows, 1);
  }
  jpeg_finish_compress(&info);
  jpeg_destroy_compress(&info);
  std::string out(reinterpret_cast<const char*>(buffer), size);
  std::free(buffer);
  return out;
}

}  // namespace qb
