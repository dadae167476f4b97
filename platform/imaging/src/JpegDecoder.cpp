#include "imaging/JpegDecoder.h"

#include <csetjmp>
#include <cstdio>
#include <jpeglib.h>

namespace cvl::imaging {

namespace {

// libjpeg's default error handler ends the process; this one jumps back.
struct ErrorManager {
    jpeg_error_mgr base;
    std::jmp_buf jump;
};

void OnError(j_common_ptr info) {
    std::longjmp(reinterpret_cast<ErrorManager*>(info->err)->jump, 1);
}

void OnMessage(j_common_ptr) {}

} // namespace

bool DecodeJpeg(const std::vector<uint8_t>& jpeg, Canvas& canvas) {
    if (jpeg.size() < 4)
        return false;
    jpeg_decompress_struct info;
    ErrorManager errors;
    info.err = jpeg_std_error(&errors.base);
    errors.base.error_exit = OnError;
    errors.base.output_message = OnMessage;
    // Nothing with a destructor lives between here and the jump's target.
    std::vector<uint8_t> pixels;
    int width = 0;
    int height = 0;
    if (setjmp(errors.jump)) {
        jpeg_destroy_decompress(&info);
        return false;
    }
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, jpeg.data(), static_cast<unsigned long>(jpeg.size()));
    jpeg_read_header(&info, TRUE);
    info.out_color_space = JCS_RGB;
    jpeg_start_decompress(&info);
    width = static_cast<int>(info.output_width);
    height = static_cast<int>(info.output_height);
    // Larger than any live view: refused rather than allocated.
    if (info.output_width > 16384 || info.output_height > 16384) {
        jpeg_destroy_decompress(&info);
        return false;
    }
    pixels.resize(static_cast<size_t>(width) * static_cast<size_t>(height) * 3);
    while (info.output_scanline < info.output_height) {
        JSAMPROW row = &pixels[static_cast<size_t>(info.output_scanline) * width * 3];
        jpeg_read_scanlines(&info, &row, 1);
    }
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    canvas = Canvas(width, height, Color{0, 0, 0});
    canvas.Pixels().swap(pixels);
    return true;
}

} // namespace cvl::imaging
