#include "ObjectTable.h"

namespace zelgp {

namespace {
// Tokens are odd multiples of 8 above the number, far from null and from
// any pointer a caller might pass by mistake.
constexpr uint64_t kTokenBase = 0x5a47000000000008ull;
} // namespace

__ZelObject* ObjectTable::Token(uint64_t id) {
    return reinterpret_cast<__ZelObject*>(static_cast<uintptr_t>(kTokenBase + id * 16));
}

uint64_t ObjectTable::IdOf(const __ZelObject* ref) {
    const uint64_t value = reinterpret_cast<uintptr_t>(ref);
    if (value < kTokenBase || (value - kTokenBase) % 16 != 0)
        return 0;
    return (value - kTokenBase) / 16;
}

Object* ObjectTable::Find(const __ZelObject* ref, Kind kind) {
    auto it = m_objects.find(IdOf(ref));
    if (it == m_objects.end() || it->second.kind != kind)
        return nullptr;
    return &it->second;
}

uint64_t ObjectTable::Add(Object object) {
    const uint64_t id = m_nextId++;
    m_objects.emplace(id, std::move(object));
    return id;
}

void ObjectTable::RetainId(uint64_t id) {
    auto it = m_objects.find(id);
    if (it != m_objects.end())
        ++it->second.refs;
}

bool ObjectTable::Retain(const __ZelObject* ref) {
    auto it = m_objects.find(IdOf(ref));
    if (it == m_objects.end())
        return false;
    ++it->second.refs;
    return true;
}

bool ObjectTable::Release(const __ZelObject* ref) {
    const uint64_t id = IdOf(ref);
    if (m_objects.count(id) == 0)
        return false;
    ReleaseId(id);
    return true;
}

void ObjectTable::ReleaseId(uint64_t id) {
    auto it = m_objects.find(id);
    if (it == m_objects.end() || --it->second.refs > 0)
        return;
    const std::vector<uint64_t> children = std::move(it->second.children);
    m_objects.erase(it);
    for (uint64_t child : children)
        ReleaseId(child);
}

} // namespace zelgp
