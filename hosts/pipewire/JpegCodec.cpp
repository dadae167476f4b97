#include "JpegCodec.h"

// jpeglib.h uses FILE without including its header.
#include <cstdio>

#include <jpeglib.h>

#include <csetjmp>
#include <cstdlib>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

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

namespace {

bool Is420(const jpeg_decompress_struct& info) {
    return info.num_components == 3 && info.jpeg_color_space == JCS_YCbCr &&
           info.comp_info[0].h_samp_factor == 2 && info.comp_info[0].v_samp_factor == 2 &&
           info.comp_info[1].h_samp_factor == 1 && info.comp_info[1].v_samp_factor == 1 &&
           info.comp_info[2].h_samp_factor == 1 && info.comp_info[2].v_samp_factor == 1;
}

// Reads full-size YCbCr scanlines into image.
void ReadScanlines(jpeg_decompress_struct& info, YcbcrImage& image) {
    image.width = static_cast<int>(info.output_width);
    image.height = static_cast<int>(info.output_height);
    image.sourceWidth = static_cast<int>(info.image_width);
    image.sourceHeight = static_cast<int>(info.image_height);
    FitBuffer(image.pixels, static_cast<size_t>(image.width) * image.height * 3);
    while (info.output_scanline < info.output_height) {
        JSAMPROW row = image.pixels.data() + static_cast<size_t>(info.output_scanline) *
                                                 static_cast<size_t>(image.width) * 3;
        jpeg_read_scanlines(&info, &row, 1);
    }
}

// Reads the 4:2:0 planes into image. The decoder hands out whole blocks: 16
// luma and 8 chroma rows a call, each row a whole number of 16 (luma) or 8
// (chroma) samples wide. False when the source ran dry early.
bool ReadPlanes(jpeg_decompress_struct& info, PlanarImage& image) {
    image.width = static_cast<int>(info.output_width);
    image.height = static_cast<int>(info.output_height);
    image.lumaStride = (image.width + 15) / 16 * 16;
    image.chromaStride = image.lumaStride / 2;
    image.lumaRows = (image.height + 15) / 16 * 16;
    image.chromaRows = image.lumaRows / 2;
    FitBuffer(image.luma, static_cast<size_t>(image.lumaStride) * image.lumaRows);
    FitBuffer(image.cb, static_cast<size_t>(image.chromaStride) * image.chromaRows);
    FitBuffer(image.cr, static_cast<size_t>(image.chromaStride) * image.chromaRows);
    JSAMPROW lumaRows[16];
    JSAMPROW cbRows[8];
    JSAMPROW crRows[8];
    JSAMPARRAY planes[3] = {lumaRows, cbRows, crRows};
    while (info.output_scanline < info.output_height) {
        const size_t row = info.output_scanline;
        for (size_t i = 0; i < 16; ++i)
            lumaRows[i] = image.luma.data() + (row + i) * static_cast<size_t>(image.lumaStride);
        for (size_t i = 0; i < 8; ++i) {
            const size_t chromaRow = row / 2 + i;
            cbRows[i] = image.cb.data() + chromaRow * static_cast<size_t>(image.chromaStride);
            crRows[i] = image.cr.data() + chromaRow * static_cast<size_t>(image.chromaStride);
        }
        if (jpeg_read_raw_data(&info, planes, 16) == 0)
            return false;
    }
    return true;
}

// Both decodes: the same checks of the header, then full-size scanlines
// into full, or the 4:2:0 planes into planar (Unsupported for other
// sampling).
DecodeResult Decode(const uint8_t* bytes, size_t length, int maxSide, YcbcrImage* full,
                    PlanarImage* planar, int coverWidth, int coverHeight) {
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
    DecodeResult result = DecodeResult::Ok;
    if (info.image_width == 0 || info.image_height == 0 ||
        info.image_width > static_cast<JDIMENSION>(maxSide) ||
        info.image_height > static_cast<JDIMENSION>(maxSide))
        result = DecodeResult::TooLarge;
    else if (planar && !Is420(info))
        result = DecodeResult::Unsupported;
    if (result != DecodeResult::Ok) {
        jpeg_destroy_decompress(&info);
        return result;
    }
    failure = DecodeResult::Damaged;
    info.out_color_space = JCS_YCbCr;
    info.dct_method = JDCT_ISLOW;
    info.raw_data_out = planar ? TRUE : FALSE;
    if (!planar && coverWidth > 0 && coverHeight > 0) {
        // libjpeg scales by whole eighths in the inverse DCT.
        for (unsigned int denominator = 8; denominator > 1; denominator /= 2) {
            if (info.image_width / denominator >= static_cast<JDIMENSION>(coverWidth) &&
                info.image_height / denominator >= static_cast<JDIMENSION>(coverHeight)) {
                info.scale_num = 1;
                info.scale_denom = denominator;
                break;
            }
        }
    }
    jpeg_start_decompress(&info);
    bool complete = true;
    if (planar)
        complete = ReadPlanes(info, *planar);
    else if (info.output_components == 3)
        ReadScanlines(info, *full);
    else
        complete = false;
    if (!complete)
        ++errors.base.num_warnings;
    if (complete)
        jpeg_finish_decompress(&info);
    const bool warned = errors.base.num_warnings > 0;
    jpeg_destroy_decompress(&info);
    return warned ? DecodeResult::Damaged : DecodeResult::Ok;
}

} // namespace

DecodeResult DecodeJpeg(const uint8_t* bytes, size_t length, int maxSide, YcbcrImage& image,
                        int coverWidth, int coverHeight) {
    return Decode(bytes, length, maxSide, &image, nullptr, coverWidth, coverHeight);
}

DecodeResult DecodeJpegPlanar(const uint8_t* bytes, size_t length, int maxSide,
                              PlanarImage& image) {
    return Decode(bytes, length, maxSide, nullptr, &image, 0, 0);
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

void FitBuffer(std::vector<uint8_t>& vector, size_t length) {
    // Kept while it is less than twice what is needed: pictures of a size
    // near the last one reuse it.
    if (vector.capacity() / 2 <= length) {
        vector.resize(length);
        return;
    }
#if defined(__GLIBC__)
    const bool large = vector.capacity() - length >= (size_t{8} << 20);
#endif
    std::vector<uint8_t>(length).swap(vector);
#if defined(__GLIBC__)
    // The C library keeps freed memory of this size for itself otherwise.
    if (large)
        malloc_trim(0);
#endif
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
    case DecodeResult::Unsupported:
        return "a JPEG of an unsupported sampling";
    }
    return "unknown";
}

} // namespace cvl::camera
