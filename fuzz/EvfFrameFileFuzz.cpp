// A frame file loaded whole, as the status frames are: any content and size.
#include "EvfFrame.h"
#include "FuzzScratch.h"

#include <cstdint>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string path = cvl::fuzz::Scratch() + "/frame.jpg";
    cvl::fuzz::WriteFileOrDie(path, data, size);
    EvfFrame frame;
    frame.LoadFrameFromFile(path);
    if (frame.GetBufSize() != static_cast<int32_t>(size) || (size > 0 && !frame.GetBuf()) ||
        (size > 0 && std::memcmp(frame.GetBuf(), data, size) != 0))
        cvl::fuzz::Fail("the loaded frame is not the file's content");
    EvfFrame copy;
    copy.LoadDuplicate(frame);
    if (copy.GetBufSize() != frame.GetBufSize() ||
        (size > 0 && std::memcmp(copy.GetBuf(), frame.GetBuf(), size) != 0))
        cvl::fuzz::Fail("the duplicate differs from its frame");
    return 0;
}
