// The installation's status pictures at the size and in the format a
// consumer negotiated, so that a camera that comes and goes changes the
// picture but never the format. Each is made once and kept while the format
// and size stay.
#ifndef CVL_HOSTS_PIPEWIRE_STATUSPICTURES_H
#define CVL_HOSTS_PIPEWIRE_STATUSPICTURES_H

#include "PixelLayout.h"

#include "cvlhost/FrameKind.h"

#include <cstdint>
#include <map>
#include <tuple>
#include <vector>

namespace cvl::camera {

class StatusPictures {
public:
    // The installation's picture of kind (anything but Live) as a frame of
    // format at width x height; an empty vector when its file cannot be read
    // or decoded.
    const std::vector<uint8_t>& Get(cvl::host::FrameKind kind, PixelFormat format, int width,
                                    int height);

    // The file's JPEG decoded; false when it cannot be.
    static bool Decode(cvl::host::FrameKind kind, YcbcrImage& image);

private:
    using Key = std::tuple<int, int, int, int>;
    std::map<Key, std::vector<uint8_t>> m_made;
};

} // namespace cvl::camera

#endif
