// The table of SDK objects behind the __ZelObject references. A reference is
// a token made from the object's number and is never dereferenced: every
// call looks it up here, so a null, released, unknown or wrong-kind
// reference is answered with an error instead of a crash. All members are
// used with the simulator's lock held.
#ifndef ZELSDK_SRC_HANDLETABLE_H
#define ZELSDK_SRC_HANDLETABLE_H

#include "Camera.h"

#include <ZelSDK/ZelSDK.h>

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

namespace [[gnu::visibility("hidden")]] zelsdk {

using Bytes = std::vector<uint8_t>;

enum class Kind { List, Camera, Stream, Image };

struct Object {
    Kind kind = Kind::List;
    int refs = 1;
    std::vector<uint64_t> children; // list: camera ids, each holding a count
    std::shared_ptr<Camera> camera; // camera
    std::shared_ptr<Bytes> bytes;   // stream, and the image's stream
};

class HandleTable {
public:
    static __ZelObject* Token(uint64_t id);
    // The object number of a reference, 0 for one that is no token.
    static uint64_t IdOf(const __ZelObject* ref);

    // The object of ref when it is one of this kind, else null.
    Object* Find(const __ZelObject* ref, Kind kind);
    // Adds the object with one count; returns its number.
    uint64_t Add(Object object);
    // One more count of any kind of object; false when ref is none.
    bool Retain(const __ZelObject* ref);
    void RetainId(uint64_t id);
    // Gives back one count of any kind of object (a list its cameras' counts
    // with its last one); false when ref is none.
    bool Release(const __ZelObject* ref);
    // The reference of the attached camera, with one more count: the same
    // reference as long as one is held, else a new one.
    uint64_t RetainCamera(const std::shared_ptr<Camera>& camera);
    void Clear() { m_objects.clear(); }

private:
    void ReleaseId(uint64_t id);

    std::map<uint64_t, Object> m_objects;
    uint64_t m_nextId = 1;
};

} // namespace gnu::visibility("hidden")]]zelsdk

#endif
