#include "CallTrace.h"

#include "HandleTable.h"

namespace zelsdk {

CallTrace& CallTrace::Arg(const char* key, const std::string& value) {
    m_line += std::string(" ") + key + "=" + value;
    return *this;
}

CallTrace& CallTrace::Arg(const char* key, unsigned long long value) {
    return Arg(key, std::to_string(value));
}

CallTrace& CallTrace::Ref(const char* key, const __ZelObject* ref) {
    return Arg(key, ref ? std::to_string(HandleTable::IdOf(ref)) : std::string("null"));
}

CallTrace& CallTrace::Out(const char* key, const std::string& value) {
    m_outs += std::string(" ") + key + "=" + value;
    return *this;
}

CallTrace& CallTrace::Out(const char* key, unsigned long long value) {
    return Out(key, std::to_string(value));
}

ZelError CallTrace::Done(ZelError result) {
    m_log.Record(m_line + " -> " + std::to_string(result) + (result ? "" : m_outs));
    return result;
}

} // namespace zelsdk
