// A reader's side of the frame relay: one connection to the process that owns
// the service's stream, read without trusting it. A message that does not fit
// the format ends the connection; the caller then looks for an owner again
// (or becomes it).
#ifndef CVLHOST_RELAYREADER_H
#define CVLHOST_RELAYREADER_H

#include "cvlhost/RelayMessage.h"

#include <chrono>
#include <memory>
#include <vector>

class EvfFrame;

namespace cvl::host {

class RelayReader {
public:
    enum class Result { Message, Nothing, Closed };

    // Takes fd, a connected relay socket.
    explicit RelayReader(int fd);
    ~RelayReader();

    RelayReader(const RelayReader&) = delete;
    RelayReader& operator=(const RelayReader&) = delete;

    // Reads for at most timeout: Message when a whole message came (its
    // header in header, its frame in frame), Nothing when none is complete
    // yet, Closed when the owner is gone or broke the format.
    Result Read(std::chrono::milliseconds timeout, RelayHeader& header,
                std::shared_ptr<EvfFrame>& frame);

private:
    int m_fd;
    unsigned char m_headerBytes[RelayHeader::kSize] = {};
    size_t m_have = 0; // bytes of the present message read so far
    RelayHeader m_header;
    bool m_haveHeader = false;
    std::vector<unsigned char> m_body;
};

} // namespace cvl::host

#endif
