#include "FrameMeasure.h"

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <jpeglib.h>
#include <vector>

namespace cvl::test {

namespace {

struct Errors {
    jpeg_error_mgr base;
    std::jmp_buf jump;
};

void OnError(j_common_ptr info) {
    std::longjmp(reinterpret_cast<Errors*>(info->err)->jump, 1);
}

void OnMessage(j_common_ptr) {}

} // namespace

bool MeasureJpeg(const std::string& jpeg, FrameMeasure& measure) {
    jpeg_decompress_struct info;
    Errors errors;
    info.err = jpeg_std_error(&errors.base);
    errors.base.error_exit = OnError;
    errors.base.output_message = OnMessage;
    std::vector<unsigned char> row;
    double sums[3] = {0, 0, 0};
    double edges = 0;
    if (jpeg.size() < 4)
        return false;
    if (setjmp(errors.jump)) {
        jpeg_destroy_decompress(&info);
        return false;
    }
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, reinterpret_cast<const unsigned char*>(jpeg.data()), jpeg.size());
    jpeg_read_header(&info, TRUE);
    info.out_color_space = JCS_RGB;
    jpeg_start_decompress(&info);
    const unsigned width = info.output_width;
    row.resize(static_cast<size_t>(width) * 3);
    while (info.output_scanline < info.output_height) {
        JSAMPROW line = row.data();
        jpeg_read_scanlines(&info, &line, 1);
        int previous = -1;
        for (unsigned x = 0; x < width; ++x) {
            const unsigned char* p = &row[static_cast<size_t>(x) * 3];
            sums[0] += p[0];
            sums[1] += p[1];
            sums[2] += p[2];
            const int luma = (p[0] * 3 + p[1] * 6 + p[2]) / 10;
            if (previous >= 0)
                edges += std::abs(luma - previous);
            previous = luma;
        }
    }
    measure.width = static_cast<int>(width);
    measure.height = static_cast<int>(info.output_height);
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    const double pixels = static_cast<double>(measure.width) * measure.height;
    if (pixels <= 0)
        return false;
    measure.red = sums[0] / pixels;
    measure.green = sums[1] / pixels;
    measure.blue = sums[2] / pixels;
    measure.sharpness = edges / pixels;
    return true;
}

} // namespace cvl::test
