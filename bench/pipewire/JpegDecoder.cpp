#include "JpegDecoder.h"

#include <csetjmp>
#include <cstdio>

#include <jpeglib.h>

namespace cvl::bench {

namespace {

struct ErrorManager {
    jpeg_error_mgr base;
    std::jmp_buf escape;
};

[[noreturn]] void OnError(j_common_ptr info) {
    std::longjmp(reinterpret_cast<ErrorManager*>(info->err)->escape, 1);
}

void Quiet(j_common_ptr, int) {}

} // namespace

bool DecodeJpeg(const uint8_t* bytes, size_t length, std::vector<uint8_t>& pixels, int& width,
                int& height) {
    jpeg_decompress_struct info{};
    ErrorManager errors{};
    info.err = jpeg_std_error(&errors.base);
    errors.base.error_exit = OnError;
    errors.base.emit_message = Quiet;
    if (setjmp(errors.escape)) {
        jpeg_destroy_decompress(&info);
        return false;
    }
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, bytes, static_cast<unsigned long>(length));
    jpeg_read_header(&info, TRUE);
    info.out_color_space = JCS_YCbCr;
    jpeg_start_decompress(&info);
    width = static_cast<int>(info.output_width);
    height = static_cast<int>(info.output_height);
    const size_t row = static_cast<size_t>(width) * 3;
    pixels.resize(row * static_cast<size_t>(height));
    std::vector<JSAMPROW> rows(static_cast<size_t>(height));
    for (size_t y = 0; y < rows.size(); ++y)
        rows[y] = pixels.data() + row * y;
    while (info.output_scanline < info.output_height)
        jpeg_read_scanlines(&info, rows.data() + info.output_scanline,
                            info.output_height - info.output_scanline);
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    return true;
}

} // namespace cvl::bench
