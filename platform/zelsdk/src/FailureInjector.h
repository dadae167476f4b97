// Failures set by zelsim fail or ZELSIM_FAIL: the next COUNT calls of an SDK
// call return CODE and do nothing else. It has a lock of its own, taken
// after the simulator's when both are held.
#ifndef ZELSDK_SRC_FAILUREINJECTOR_H
#define ZELSDK_SRC_FAILUREINJECTOR_H

#include <cstdint>
#include <map>
#include <mutex>
#include <string>

namespace [[gnu::visibility("hidden")]] zelsdk {

class FailureInjector {
public:
    // Whether name is one of the SDK's calls ("ZelOpenSession", ...).
    static bool IsKnownCall(const std::string& name);

    // The code the call is to fail with, using up one count; 0 for none.
    uint32_t Take(const char* call);
    // Replaces the setting for call; code or count 0 clears it.
    void Set(const std::string& call, uint32_t code, uint32_t count);

private:
    struct Failure {
        uint32_t code;
        uint32_t count;
    };

    std::mutex m_mutex;
    std::map<std::string, Failure> m_failures;
};

} // namespace gnu::visibility("hidden")]]zelsdk

#endif
