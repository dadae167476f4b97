// The pictures an OBS source hands to OBS: the newest live frame decoded
// into I420 planes, or the status picture that says why there is none, at
// the live view's size so that the source's size in a scene does not jump
// when the camera comes and goes.
#ifndef CVL_HOSTS_OBS_SOURCEPICTURES_H
#define CVL_HOSTS_OBS_SOURCEPICTURES_H

#include "cvlhost/FrameFeed.h"
#include "cvlhost/JpegCodec.h"
#include "cvlhost/StatusPictures.h"

#include <cstdint>
#include <string>
#include <vector>

namespace cvl::obs {

// One picture in I420 planes (Y, Cb, Cr), full-range BT.601 as a JPEG holds
// it. The planes belong to the SourcePictures that made it and stay valid
// until its next Make.
struct I420Picture {
    const uint8_t* planes[3] = {nullptr, nullptr, nullptr};
    uint32_t strides[3] = {0, 0, 0};
    int width = 0;
    int height = 0;
    cvl::host::FrameKind kind = cvl::host::FrameKind::Error;
};

class SourcePictures {
public:
    // The picture for newest. False when it shows the same as the picture
    // made before (a status picture does not change, a live frame is not
    // decoded twice): the source keeps showing that one. A live frame that
    // cannot be decoded gives the waiting picture and its reason in
    // problem; problem stays empty otherwise.
    bool Make(const cvl::host::FeedFrame& newest, I420Picture& picture, std::string& problem);

    // Forget what was shown, so that the next Make makes a picture again.
    void Forget();

private:
    bool MakeLive(const cvl::host::CapturedFrame& frame, I420Picture& picture,
                  std::string& problem);
    bool MakeStatus(cvl::host::FrameKind kind, I420Picture& picture);

    cvl::host::PlanarImage m_planar;
    cvl::host::YcbcrImage m_decoded;
    std::vector<uint8_t> m_raw;
    cvl::host::StatusPictures m_status;
    // The last live view's size; 0 before the first.
    int m_width = 0;
    int m_height = 0;
    // The status pictures' own size, for the time before the first live frame.
    int m_stockWidth = 0;
    int m_stockHeight = 0;
    // What was made last.
    bool m_made = false;
    cvl::host::FrameKind m_kind = cvl::host::FrameKind::Error;
    uint64_t m_sequence = 0;
    int m_madeWidth = 0;
    int m_madeHeight = 0;
};

} // namespace cvl::obs

#endif
