#include "MatroskaWriter.h"

namespace cvl::web {

namespace {

// Element IDs, with their length marker bits as they are written.
constexpr uint32_t kEbml = 0x1A45DFA3;
constexpr uint32_t kEbmlVersion = 0x4286;
constexpr uint32_t kEbmlReadVersion = 0x42F7;
constexpr uint32_t kEbmlMaxIdLength = 0x42F2;
constexpr uint32_t kEbmlMaxSizeLength = 0x42F3;
constexpr uint32_t kDocType = 0x4282;
constexpr uint32_t kDocTypeVersion = 0x4287;
constexpr uint32_t kDocTypeReadVersion = 0x4285;
constexpr uint32_t kSegment = 0x18538067;
constexpr uint32_t kInfo = 0x1549A966;
constexpr uint32_t kTimestampScale = 0x2AD7B1;
constexpr uint32_t kMuxingApp = 0x4D80;
constexpr uint32_t kWritingApp = 0x5741;
constexpr uint32_t kTracks = 0x1654AE6B;
constexpr uint32_t kTrackEntry = 0xAE;
constexpr uint32_t kTrackNumber = 0xD7;
constexpr uint32_t kTrackUid = 0x73C5;
constexpr uint32_t kTrackType = 0x83;
constexpr uint32_t kFlagLacing = 0x9C;
constexpr uint32_t kCodecId = 0x86;
constexpr uint32_t kDefaultDuration = 0x23E383;
constexpr uint32_t kVideo = 0xE0;
constexpr uint32_t kPixelWidth = 0xB0;
constexpr uint32_t kPixelHeight = 0xBA;
constexpr uint32_t kCluster = 0x1F43B675;
constexpr uint32_t kClusterTimestamp = 0xE7;
constexpr uint32_t kSimpleBlock = 0xA3;

constexpr uint64_t kVideoTrackType = 1;
constexpr size_t kSizeLength = 8;
// SimpleBlock head: track number 1 (a one-byte number), the time relative
// to the Cluster's (0) and the flags (key frame).
const char kBlockHead[] = {'\x81', '\x00', '\x00', '\x80'};

void PutId(std::string& out, uint32_t id) {
    bool started = false;
    for (int shift = 24; shift >= 0; shift -= 8) {
        const auto byte = static_cast<uint8_t>(id >> shift);
        if (byte != 0 || started || shift == 0) {
            out += static_cast<char>(byte);
            started = true;
        }
    }
}

// An element size as an 8-byte number: the length marker, then 7 bytes.
void PutSize(std::string& out, uint64_t size) {
    out += '\x01';
    for (int shift = 48; shift >= 0; shift -= 8)
        out += static_cast<char>(static_cast<uint8_t>(size >> shift));
}

void PutUnsigned(std::string& out, uint32_t id, uint64_t value) {
    std::string bytes;
    do {
        bytes.insert(bytes.begin(), static_cast<char>(static_cast<uint8_t>(value)));
        value >>= 8;
    } while (value != 0);
    PutId(out, id);
    PutSize(out, bytes.size());
    out += bytes;
}

void PutString(std::string& out, uint32_t id, const std::string& text) {
    PutId(out, id);
    PutSize(out, text.size());
    out += text;
}

void PutMaster(std::string& out, uint32_t id, const std::string& children) {
    PutId(out, id);
    PutSize(out, children.size());
    out += children;
}

} // namespace

const char* const MatroskaWriter::kContentType = "video/x-matroska";

std::string MatroskaWriter::StreamHead(int width, int height, int64_t frameDurationNs) {
    std::string ebml;
    PutUnsigned(ebml, kEbmlVersion, 1);
    PutUnsigned(ebml, kEbmlReadVersion, 1);
    PutUnsigned(ebml, kEbmlMaxIdLength, 4);
    PutUnsigned(ebml, kEbmlMaxSizeLength, kSizeLength);
    PutString(ebml, kDocType, "matroska");
    PutUnsigned(ebml, kDocTypeVersion, 4);
    PutUnsigned(ebml, kDocTypeReadVersion, 2); // SimpleBlock

    std::string info;
    PutUnsigned(info, kTimestampScale, 1000000); // timestamps in milliseconds
    PutString(info, kMuxingApp, "cvl-web");
    PutString(info, kWritingApp, "cvl-web");

    std::string video;
    PutUnsigned(video, kPixelWidth, static_cast<uint64_t>(width > 0 ? width : 1));
    PutUnsigned(video, kPixelHeight, static_cast<uint64_t>(height > 0 ? height : 1));
    std::string track;
    PutUnsigned(track, kTrackNumber, 1);
    PutUnsigned(track, kTrackUid, 1);
    PutUnsigned(track, kTrackType, kVideoTrackType);
    PutUnsigned(track, kFlagLacing, 0);
    PutString(track, kCodecId, "V_MJPEG");
    if (frameDurationNs > 0)
        PutUnsigned(track, kDefaultDuration, static_cast<uint64_t>(frameDurationNs));
    PutMaster(track, kVideo, video);
    std::string tracks;
    PutMaster(tracks, kTrackEntry, track);

    std::string head;
    PutMaster(head, kEbml, ebml);
    PutId(head, kSegment);
    head += std::string("\x01\xFF\xFF\xFF\xFF\xFF\xFF\xFF", kSizeLength); // unknown size
    PutMaster(head, kInfo, info);
    PutMaster(head, kTracks, tracks);
    return head;
}

std::string MatroskaWriter::FrameHead(uint64_t timestampMs, size_t jpegSize) {
    std::string timestamp;
    PutUnsigned(timestamp, kClusterTimestamp, timestampMs);
    const size_t blockSize = sizeof kBlockHead + jpegSize;
    // The SimpleBlock's ID and size, as PutSize writes them.
    const size_t blockElementSize = 1 + kSizeLength + blockSize;

    std::string head;
    head.reserve(4 + kSizeLength + timestamp.size() + 1 + kSizeLength + sizeof kBlockHead);
    PutId(head, kCluster);
    PutSize(head, timestamp.size() + blockElementSize);
    head += timestamp;
    PutId(head, kSimpleBlock);
    PutSize(head, blockSize);
    head.append(kBlockHead, sizeof kBlockHead);
    return head;
}

} // namespace cvl::web
