#include "JpegCodec.h"

// jpeglib.h uses FILE without including its header.
#include <cstdio>

#include <jpeglib.h>

#include <csetjmp>
#include <cstdlib>

namespace cvl::camera {

namespace {

// libjpeg reports fatal errors through error_exit, which must not return:
// it jumps back to the caller's setjmp. Warnings are counted, so that a
// truncated or corrupt picture is not taken for a good one.
struct ErrorManager {
    jpeg_error_mgr base;
    std::jmp_buf jump;
};

void ErrorExit(j_common_ptr info) {
    std::longjmp(reinterpret_cast<ErrorManager*>(info->err)->jump, 1);
}

void EmitMessage(j_common_ptr info, int level) {
    if (level < 0)
        ++info->err->num_warnings; // nothing printed: the caller logs the outcome
}

void OutputNothing(j_common_ptr) {}

void InstallErrorManager(ErrorManager& errors) {
    jpeg_std_error(&errors.base);
    errors.base.error_exit = ErrorExit;
    errors.base.emit_message = EmitMessage;
    errors.base.output_message = OutputNothing;
}

} // namespace

DecodeResult DecodeJpeg(const uint8_t* bytes, size_t length, int maxSide, YcbcrImage& image) {
    // Anything shorter than a start-of-image marker and a segment is no JPEG;
    // libjpeg would also reject an empty buffer by exiting.
    if (!bytes || length < 4 || bytes[0] != 0xFF || bytes[1] != 0xD8)
        return DecodeResult::NotJpeg;

    jpeg_decompress_struct info;
    ErrorManager errors;
    InstallErrorManager(errors);
    info.err = &errors.base;
    // Set before setjmp, read after a jump: volatile keeps it right.
    volatile DecodeResult failure = DecodeResult::NotJpeg;
    if (setjmp(errors.jump)) {
        jpeg_destroy_decompress(&info);
        return failure;
    }
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, bytes, static_cast<unsigned long>(length));
    jpeg_read_header(&info, TRUE);
    if (info.image_width == 0 || info.image_height == 0 ||
        info.image_width > static_cast<JDIMENSION>(maxSide) ||
        info.image_height > static_cast<JDIMENSION>(maxSide)) {
        jpeg_destroy_decompress(&info);
        return DecodeResult::TooLarge;
    }
    failure = DecodeResult::Damaged;
    info.out_color_space = JCS_YCbCr;
    info.dct_method = JDCT_ISLOW;
    jpeg_start_decompress(&info);
    if (info.output_components != 3) {
        jpeg_destroy_decompress(&info);
        return DecodeResult::Damaged;
    }
    image.width = static_cast<int>(info.output_width);
    image.height = static_cast<int>(info.output_height);
    image.pixels.resize(static_cast<size_t>(image.width) * image.height * 3);
    while (info.output_scanline < info.output_height) {
        JSAMPROW row = image.pixels.data() + static_cast<size_t>(info.output_scanline) *
                                                 static_cast<size_t>(image.width) * 3;
        jpeg_read_scanlines(&info, &row, 1);
    }
    jpeg_finish_decompress(&info);
    const bool warned = errors.base.num_warnings > 0;
    jpeg_destroy_decompress(&info);
    return warned ? DecodeResult::Damaged : DecodeResult::Ok;
}

bool EncodeJpeg(const YcbcrImage& image, int quality, std::vector<uint8_t>& out) {
    if (image.width <= 0 || image.height <= 0 ||
        image.pixels.size() < static_cast<size_t>(image.width) * image.height * 3)
        return false;
    jpeg_compress_struct info;
    ErrorManager errors;
    InstallErrorManager(errors);
    info.err = &errors.base;
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    if (setjmp(errors.jump)) {
        jpeg_destroy_compress(&info);
        std::free(buffer);
        return false;
    }
    jpeg_create_compress(&info);
    jpeg_mem_dest(&info, &buffer, &size);
    info.image_width = static_cast<JDIMENSION>(image.width);
    info.image_height = static_cast<JDIMENSION>(image.height);
    info.input_components = 3;
    info.in_color_space = JCS_YCbCr;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, quality, TRUE);
    jpeg_start_compress(&info, TRUE);
    while (info.next_scanline < info.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(image.pixels.data()) +
                       static_cast<size_t>(info.next_scanline) * image.width * 3;
        jpeg_write_scanlines(&info, &row, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    out.assign(buffer, buffer + size);
    std::free(buffer);
    return true;
}

const char* DecodeResultName(DecodeResult result) {
    switch (result) {
    case DecodeResult::Ok:
        return "decoded";
    case DecodeResult::NotJpeg:
        return "not a JPEG";
    case DecodeResult::TooLarge:
        return "larger than a live view can be";
    case DecodeResult::Damaged:
        return "a damaged or truncated JPEG";
    }
    return "unknown";
}

} // namespace cvl::camera
