// The answer to every request and every frame message: "success" and its NUL.
#ifndef CVL_COMMON_SUCCESSREPLY_H
#define CVL_COMMON_SUCCESSREPLY_H

#include <CoreFoundation/CoreFoundation.h>

constexpr char kSuccessReply[] = "success";
constexpr CFIndex kSuccessReplyLength = sizeof kSuccessReply; // 8, with the NUL

// A new data object holding the 8 reply bytes; the port machinery releases it.
CFDataRef CreateSuccessReply();

#endif
