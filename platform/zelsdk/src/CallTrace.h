// The call-list line of one SDK call, built up while the call runs:
//     <name>[ <arg>=<value>]... -> <result>[ <out>=<value>]...
// References print as their object number ("null" for a null one, 0 for a
// pointer that is no reference of the SDK's); the outputs follow only a
// result of 0.
#ifndef ZELSDK_SRC_CALLTRACE_H
#define ZELSDK_SRC_CALLTRACE_H

#include "CallLog.h"

#include <ZelSDK/ZelSDK.h>

#include <string>

namespace [[gnu::visibility("hidden")]] zelsdk {

class CallTrace {
public:
    CallTrace(const char* name, CallLog& log) : m_name(name), m_line(name), m_log(log) {}

    const char* Name() const { return m_name; }
    CallTrace& Arg(const char* key, const std::string& value);
    CallTrace& Arg(const char* key, unsigned long long value);
    CallTrace& Ref(const char* key, const __ZelObject* ref);
    CallTrace& Out(const char* key, const std::string& value);
    CallTrace& Out(const char* key, unsigned long long value);
    // Records the line with the result and returns the result.
    ZelError Done(ZelError result);

private:
    const char* m_name;
    std::string m_line;
    std::string m_outs;
    CallLog& m_log;
};

} // namespace gnu::visibility("hidden")]]zelsdk

#endif
