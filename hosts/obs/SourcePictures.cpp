#include "SourcePictures.h"

#include "EvfFrame.h"
#include "cvlhost/PixelLayout.h"

namespace cvl::obs {

using cvl::host::CapturedFrame;
using cvl::host::DecodeResult;
using cvl::host::FeedFrame;
using cvl::host::FrameKind;
using cvl::host::PixelFormat;

namespace {

// The decoder refuses larger frames before it takes any memory for them.
constexpr int kMaxSide = cvl::host::kMaxLiveSide;
// Before the first live frame and when the stock pictures cannot be read.
constexpr int kFallbackWidth = 960;
constexpr int kFallbackHeight = 640;

// I420 planes laid out one after the other at width x height (even sides).
void PointAtContiguous(const std::vector<uint8_t>& bytes, int width, int height,
                       I420Picture& picture) {
    const size_t luma = static_cast<size_t>(width) * static_cast<size_t>(height);
    const size_t chroma = luma / 4;
    picture.planes[0] = bytes.data();
    picture.planes[1] = bytes.data() + luma;
    picture.planes[2] = bytes.data() + luma + chroma;
    picture.strides[0] = static_cast<uint32_t>(width);
    picture.strides[1] = static_cast<uint32_t>(width / 2);
    picture.strides[2] = static_cast<uint32_t>(width / 2);
    picture.width = width;
    picture.height = height;
}

} // namespace

void SourcePictures::Forget() {
    m_made = false;
}

bool SourcePictures::Make(const FeedFrame& newest, I420Picture& picture, std::string& problem) {
    problem.clear();
    FrameKind kind = cvl::host::ShownKind(newest);
    if (kind == FrameKind::Live) {
        if (m_made && m_kind == FrameKind::Live && m_sequence == newest.captured.sequence)
            return false;
        if (MakeLive(newest.captured, picture, problem))
            return true;
        kind = FrameKind::Error;
    }
    return MakeStatus(kind, picture);
}

bool SourcePictures::MakeLive(const CapturedFrame& frame, I420Picture& picture,
                              std::string& problem) {
    const EvfFrame& jpeg = *frame.frame;
    const uint8_t* bytes = jpeg.GetBuf();
    const size_t length =
        bytes && jpeg.GetBufSize() > 0 ? static_cast<size_t>(jpeg.GetBufSize()) : 0;
    // A 4:2:0 JPEG goes straight from its planes to OBS; anything else
    // through full-size YCbCr.
    DecodeResult result = cvl::host::DecodeJpegPlanar(bytes, length, kMaxSide, m_planar);
    int width = m_planar.width;
    int height = m_planar.height;
    if (result == DecodeResult::Unsupported) {
        result = cvl::host::DecodeJpeg(bytes, length, kMaxSide, m_decoded);
        // I420 takes even sides: an odd last column or row is left out.
        width = m_decoded.width & ~1;
        height = m_decoded.height & ~1;
        if (result == DecodeResult::Ok && (width == 0 || height == 0))
            result = DecodeResult::Unsupported;
        if (result == DecodeResult::Ok) {
            m_raw.resize(cvl::host::FrameBytes(PixelFormat::I420, width, height));
            cvl::host::WriteRaw(m_decoded, PixelFormat::I420, width, height, m_raw.data());
            PointAtContiguous(m_raw, width, height, picture);
        }
    } else if (result == DecodeResult::Ok) {
        picture.planes[0] = m_planar.luma.data();
        picture.planes[1] = m_planar.cb.data();
        picture.planes[2] = m_planar.cr.data();
        picture.strides[0] = static_cast<uint32_t>(m_planar.lumaStride);
        picture.strides[1] = static_cast<uint32_t>(m_planar.chromaStride);
        picture.strides[2] = static_cast<uint32_t>(m_planar.chromaStride);
        picture.width = width;
        picture.height = height;
    }
    if (result != DecodeResult::Ok) {
        problem = cvl::host::DecodeResultName(result);
        return false;
    }
    picture.kind = FrameKind::Live;
    m_width = width;
    m_height = height;
    m_made = true;
    m_kind = FrameKind::Live;
    m_sequence = frame.sequence;
    m_madeWidth = width;
    m_madeHeight = height;
    return true;
}

bool SourcePictures::MakeStatus(FrameKind kind, I420Picture& picture) {
    int width = m_width & ~1;
    int height = m_height & ~1;
    if (width < 2 || height < 2) {
        if (m_stockWidth == 0) {
            cvl::host::YcbcrImage stock;
            const bool read = cvl::host::StatusPictures::Decode(FrameKind::Error, stock);
            m_stockWidth = read && stock.width >= 2 ? stock.width & ~1 : kFallbackWidth;
            m_stockHeight = read && stock.height >= 2 ? stock.height & ~1 : kFallbackHeight;
        }
        width = m_stockWidth;
        height = m_stockHeight;
    }
    if (m_made && m_kind == kind && m_madeWidth == width && m_madeHeight == height)
        return false;
    const std::vector<uint8_t>& made = m_status.Get(kind, PixelFormat::I420, width, height);
    if (made.empty())
        return false; // no installation to show a picture from: the last one stays
    PointAtContiguous(made, width, height, picture);
    picture.kind = kind;
    m_made = true;
    m_kind = kind;
    m_madeWidth = width;
    m_madeHeight = height;
    return true;
}

} // namespace cvl::obs
