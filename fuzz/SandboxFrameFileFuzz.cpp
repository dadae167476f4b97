// A sandbox frame file as the client's reader finds it: any content and size,
// written by the service or by anything else that can write the folder. The
// first four bytes of the input are the last frame number the reader took
// (little-endian); the rest is the file.
#include "FrameTransport.h"
#include "FuzzScratch.h"

#include <CVLPaths.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

int32_t Le32(const uint8_t* p) {
    return static_cast<int32_t>(static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                                static_cast<uint32_t>(p[2]) << 16 |
                                static_cast<uint32_t>(p[3]) << 24);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const std::string root = cvl::fuzz::Scratch() + "/root";
    // The folders down to sbFrames, one at a time.
    const std::string folder = CVLResolvePath(CVL_PATH_SANDBOX_FRAMES);
    for (size_t at = root.size() + 1; at != std::string::npos; at = folder.find('/', at + 1))
        mkdir(folder.substr(0, at).c_str(), 0700);
    mkdir(folder.c_str(), 0700);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4)
        return 0;
    const int32_t last = Le32(data);
    const std::vector<unsigned char> content(data + 4, data + size);

    int32_t number = 0;
    const unsigned char* frame = nullptr;
    int32_t length = -1;
    const bool accepted =
        AcceptSandboxRecord(content.data(), content.size(), last, &number, &frame, &length);
    if (!accepted)
        return 0; // the reader would retry for a second: nothing more to learn here
    const size_t n = content.size();
    if (n < static_cast<size_t>(kSandboxMinimumFileSize) || length < 0 ||
        static_cast<size_t>(length) + kSandboxOverhead != n ||
        frame != content.data() + kSandboxFrameOffset || number <= last ||
        std::memcmp(content.data(), content.data() + n - kSandboxMarkerSize, kSandboxMarkerSize) !=
            0)
        cvl::fuzz::Fail("a record was accepted against the rules");

    // The same content through the file reader, from a fresh start at slot 0.
    cvl::fuzz::WriteFileOrDie(SandboxFramePath(0), content.data(), n);
    FILE* files[kSandboxSlotCount] = {nullptr, nullptr, nullptr};
    int32_t lastNumber = last;
    int32_t slot = 0;
    std::vector<unsigned char> read;
    const SandboxReadResult result = ReadSandboxFrame(files, lastNumber, slot, read);
    const bool same = result == SandboxReadResult::Frame && lastNumber == number && slot == 1 &&
                      read.size() == static_cast<size_t>(length) &&
                      (length == 0 || std::memcmp(read.data(), frame, read.size()) == 0);
    ResetSandboxReading(files, lastNumber, slot);
    if (!same)
        cvl::fuzz::Fail("the file reader did not take the record that the rules accept");
    return 0;
}
