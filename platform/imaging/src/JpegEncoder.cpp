#include "imaging/JpegEncoder.h"

#include <cstdio>
#include <cstdlib>
#include <jpeglib.h>

namespace cvl::imaging {

std::vector<uint8_t> EncodeJpeg(const Canvas& canvas, int quality) {
    jpeg_compress_struct info;
    jpeg_error_mgr errors;
    info.err = jpeg_std_error(&errors);
    jpeg_create_compress(&info);

    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&info, &buffer, &size);

    info.image_width = static_cast<JDIMENSION>(canvas.Width());
    info.image_height = static_cast<JDIMENSION>(canvas.Height());
    info.input_components = 3;
    info.in_color_space = JCS_RGB;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, quality, TRUE);
    jpeg_start_compress(&info, TRUE);

    const int stride = canvas.Width() * 3;
    while (info.next_scanline < info.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(&canvas.Pixels()[info.next_scanline * stride]);
        jpeg_write_scanlines(&info, &row, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);

    std::vector<uint8_t> jpeg(buffer, buffer + size);
    std::free(buffer);
    return jpeg;
}

} // namespace cvl::imaging
