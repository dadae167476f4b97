// One piece of camera work, run on the command processor's worker thread.
#ifndef CVL_SERVICE_COMMAND_H
#define CVL_SERVICE_COMMAND_H

#include <cstdint>

class Camera;

class Command {
public:
    explicit Command(Camera* camera) : m_pCamera(camera) {}
    virtual ~Command() = default;

    Command(const Command&) = delete;
    Command& operator=(const Command&) = delete;

    // The SDK error code of the step that failed, or 0.
    virtual uint32_t execute() = 0;

protected:
    Camera* const m_pCamera; // not owned
};

#endif
