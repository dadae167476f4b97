#include "RequestText.h"

std::string BuildRequestText(const std::string& senderId, const std::string& command) {
    return senderId + "_" + command;
}

void ParseRequestText(const std::string& text, std::string& senderId, std::string& command) {
    const std::string::size_type underscore = text.find('_');
    if (underscore == std::string::npos) {
        senderId = text;
        command = text;
        return;
    }
    senderId = text.substr(0, underscore);
    command = text.substr(underscore + 1);
}
