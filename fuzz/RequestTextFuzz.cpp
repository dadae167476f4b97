// The text of a request as the service takes it from a request message: the
// bytes up to the first NUL, split into sender identifier and command.
#include "FuzzScratch.h"
#include "RequestText.h"

#include <cstdint>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const void* nul = std::memchr(data, 0, size);
    const size_t length = nul ? static_cast<size_t>(static_cast<const uint8_t*>(nul) - data) : size;
    const std::string text(reinterpret_cast<const char*>(data), length);
    std::string senderId, command;
    ParseRequestText(text, senderId, command);
    const size_t underscore = text.find('_');
    if (underscore == std::string::npos) {
        if (senderId != text || command != text)
            cvl::fuzz::Fail("a text without \"_\" is not both identifier and command");
        return 0;
    }
    if (senderId.find('_') != std::string::npos || senderId.size() != underscore)
        cvl::fuzz::Fail("the identifier does not end at the first \"_\"");
    // The text the client would build from the two parts is the text itself.
    const std::string rebuilt = BuildRequestText(senderId, command);
    if (rebuilt != text)
        cvl::fuzz::Fail("identifier and command do not rebuild the request");
    return 0;
}
