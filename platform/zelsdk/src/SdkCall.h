// One SDK call in progress: the preamble that every entry point shares.
//
// The call's name and the reference it works on are given at construction,
// its other arguments go to Trace() next (all before anything can answer the
// call, so every call-list line has them). Then one of the Begin forms runs,
// in this order: an injected failure (which answers the call and does nothing
// else), the simulator's lock (held until the call returns, so the call list
// is in the order the calls took effect), the initialised check and the
// lookup of the reference. A Begin that answers the call records it and
// returns the result, nonzero, for the entry point to return.
#ifndef ZELSDK_SRC_SDKCALL_H
#define ZELSDK_SRC_SDKCALL_H

#include "CallTrace.h"
#include "Camera.h"
#include "HandleTable.h"

#include <ZelSDK/ZelSDK.h>

#include <memory>
#include <mutex>

namespace [[gnu::visibility("hidden")]] zelsdk {

class SdkCall {
public:
    explicit SdkCall(const char* name);
    // A call whose first argument is the reference it works on.
    SdkCall(const char* name, const char* key, const __ZelObject* ref);

    CallTrace& Trace() { return m_trace; }

    // Injected failure, lock, initialised check.
    ZelError Begin();
    // ... and the call's reference must be an object of this kind.
    ZelError Begin(Kind kind, Object*& object);
    // ... and the call's out pointer must not be null.
    ZelError Begin(Kind kind, Object*& object, const void* out);
    // ... and it must be a camera reference (attached or not).
    ZelError BeginCamera(std::shared_ptr<Camera>& camera);
    // ... and the camera must be attached with a session open.
    ZelError BeginSession(std::shared_ptr<Camera>& camera);
    // Only the injected failure, for the calls that lock for themselves.
    ZelError Inject();

    // Around a part of the call that must not hold the lock.
    void Lock() { m_lock.lock(); }
    void Unlock() { m_lock.unlock(); }
    // The held lock, for a wait that releases it meanwhile.
    std::unique_lock<std::mutex>& Held() { return m_lock; }
    // Records the call with its result and returns the result.
    ZelError Done(ZelError result) { return m_trace.Done(result); }
    // Finishes a call that answers with one number: a null out pointer gets
    // ZEL_ERR_INVALID_POINTER, else the value is stored and listed as key.
    template <typename T> ZelError Answer(const char* key, T* out, T value) {
        if (!out)
            return Done(ZEL_ERR_INVALID_POINTER);
        *out = value;
        m_trace.Out(key, value);
        return Done(ZEL_ERR_OK);
    }

private:
    CallTrace m_trace;
    const __ZelObject* m_ref = nullptr;
    std::unique_lock<std::mutex> m_lock;
};

} // namespace gnu::visibility("hidden")]]zelsdk

#endif
