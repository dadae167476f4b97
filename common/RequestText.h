// The text of one request to the service's request port: the sender
// identifier, "_", and the command. It travels with a terminating NUL byte.
#ifndef CVL_COMMON_REQUESTTEXT_H
#define CVL_COMMON_REQUESTTEXT_H

#include <string>

std::string BuildRequestText(const std::string& senderId, const std::string& command);

// The sender identifier is the text before the first "_", the command all of
// it after; without a "_" both are the whole text. Either may be empty. No
// trimming, no case folding.
void ParseRequestText(const std::string& text, std::string& senderId, std::string& command);

#endif
