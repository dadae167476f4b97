#include "HandleTable.h"

namespace zelsdk {

namespace {
// Tokens lie far from any mapping the process could have, spaced so that a
// pointer into the middle of one is no token.
constexpr uintptr_t kTokenBase = 0x5a0000000000ull;
constexpr uintptr_t kTokenStride = 16;
} // namespace

__ZelObject* HandleTable::Token(uint64_t id) {
    return reinterpret_cast<__ZelObject*>(kTokenBase + id * kTokenStride);
}

uint64_t HandleTable::IdOf(const __ZelObject* ref) {
    uintptr_t v = reinterpret_cast<uintptr_t>(ref);
    if (v < kTokenBase + kTokenStride || (v - kTokenBase) % kTokenStride)
        return 0;
    return (v - kTokenBase) / kTokenStride;
}

Object* HandleTable::Find(const __ZelObject* ref, Kind kind) {
    auto it = m_objects.find(IdOf(ref));
    if (it == m_objects.end() || it->second.kind != kind)
        return nullptr;
    return &it->second;
}

uint64_t HandleTable::Add(Object object) {
    uint64_t id = m_nextId++;
    m_objects.emplace(id, std::move(object));
    return id;
}

bool HandleTable::Retain(const __ZelObject* ref) {
    auto it = m_objects.find(IdOf(ref));
    if (it == m_objects.end())
        return false;
    it->second.refs++;
    return true;
}

void HandleTable::RetainId(uint64_t id) {
    auto it = m_objects.find(id);
    if (it != m_objects.end())
        it->second.refs++;
}

bool HandleTable::Release(const __ZelObject* ref) {
    uint64_t id = IdOf(ref);
    if (!m_objects.count(id))
        return false;
    ReleaseId(id);
    return true;
}

void HandleTable::ReleaseId(uint64_t id) {
    auto it = m_objects.find(id);
    if (it == m_objects.end() || --it->second.refs > 0)
        return;
    Object dead = std::move(it->second);
    m_objects.erase(it);
    if (dead.kind == Kind::Camera && dead.camera && dead.camera->cameraId == id)
        dead.camera->cameraId = 0;
    for (uint64_t child : dead.children)
        ReleaseId(child);
}

uint64_t HandleTable::RetainCamera(const std::shared_ptr<Camera>& camera) {
    if (camera->cameraId && m_objects.count(camera->cameraId)) {
        m_objects[camera->cameraId].refs++;
        return camera->cameraId;
    }
    Object object;
    object.kind = Kind::Camera;
    object.camera = camera;
    camera->cameraId = Add(std::move(object));
    return camera->cameraId;
}

} // namespace zelsdk
