#include "SuccessReply.h"

CFDataRef CreateSuccessReply() {
    return CFDataCreate(kCFAllocatorDefault, reinterpret_cast<const UInt8*>(kSuccessReply),
                        kSuccessReplyLength);
}
