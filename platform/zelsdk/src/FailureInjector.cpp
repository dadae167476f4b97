#include "FailureInjector.h"

namespace zelsdk {

namespace {
const char* const kCallNames[] = {"ZelInitializeSDK",
                                  "ZelTerminateSDK",
                                  "ZelRetain",
                                  "ZelRelease",
                                  "ZelGetCameraList",
                                  "ZelGetChildCount",
                                  "ZelGetChildAtIndex",
                                  "ZelGetDeviceInfo",
                                  "ZelSetPropertyEventHandler",
                                  "ZelSetObjectEventHandler",
                                  "ZelSetCameraStateEventHandler",
                                  "ZelOpenSession",
                                  "ZelCloseSession",
                                  "ZelGetPropertyData",
                                  "ZelSetPropertyData",
                                  "ZelSetCapacity",
                                  "ZelGetPropertyDesc",
                                  "ZelSendCommand",
                                  "ZelCreateMemoryStream",
                                  "ZelCreateEvfImageRef",
                                  "ZelDownloadEvfImage",
                                  "ZelGetPointer",
                                  "ZelGetLength"};
} // namespace

bool FailureInjector::IsKnownCall(const std::string& name) {
    for (const char* c : kCallNames)
        if (name == c)
            return true;
    return false;
}

uint32_t FailureInjector::Take(const char* call) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_failures.find(call);
    if (it == m_failures.end())
        return 0;
    uint32_t code = it->second.code;
    if (--it->second.count == 0)
        m_failures.erase(it);
    return code;
}

void FailureInjector::Set(const std::string& call, uint32_t code, uint32_t count) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (count == 0 || code == 0)
        m_failures.erase(call);
    else
        m_failures[call] = Failure{code, count};
}

} // namespace zelsdk
