// The SDK objects behind the __ZelObject references of this backend. A
// reference is a token made from the object's number and is never
// dereferenced, so a null, released, unknown or wrong-kind reference is
// answered with an error code. Used with the backend's lock held.
#ifndef ZELSDK_GPHOTO2_OBJECTTABLE_H
#define ZELSDK_GPHOTO2_OBJECTTABLE_H

#include <ZelSDK/ZelSDK.h>

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

namespace zelgp {

class GphotoCamera;
using Bytes = std::vector<uint8_t>;

enum class Kind { List, Camera, Stream, Image };

struct Object {
    Kind kind = Kind::List;
    int refs = 1;
    std::vector<uint64_t> children;       // list: camera numbers, one count each
    std::shared_ptr<GphotoCamera> camera; // camera
    std::shared_ptr<Bytes> bytes;         // stream, and the image's stream
};

class ObjectTable {
public:
    static __ZelObject* Token(uint64_t id);
    static uint64_t IdOf(const __ZelObject* ref);

    // The object of ref when it is one of this kind, else null.
    Object* Find(const __ZelObject* ref, Kind kind);
    bool Alive(uint64_t id) const { return m_objects.count(id) != 0; }
    uint64_t Add(Object object);
    void RetainId(uint64_t id);
    bool Retain(const __ZelObject* ref);
    bool Release(const __ZelObject* ref);
    void Clear() { m_objects.clear(); }

private:
    void ReleaseId(uint64_t id);

    std::map<uint64_t, Object> m_objects;
    uint64_t m_nextId = 1;
};

} // namespace zelgp

#endif
