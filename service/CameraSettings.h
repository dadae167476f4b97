// The camera's settings as the service knows them, and the changes and
// actions that clients asked for.
//
// The request listener answers the settings requests from this table at
// once (Answer); the camera commands that read the settings, apply a change
// or run an action fill it in and record the outcome, on the command
// processor's thread. A change is a command in the camera's queue, between
// two live-view downloads: the newest value of a setting wins, so at most
// one change per setting and a few actions wait, and the stream never stops
// for them.
//
// Lock rule: m_mutex guards everything here; it is taken after the camera's
// status lock (never while holding it) and before the command queue's lock.
#ifndef CVL_SERVICE_CAMERASETTINGS_H
#define CVL_SERVICE_CAMERASETTINGS_H

#include "SettingValue.h"

#include <ZelSDK/ZelSDK.h>

#include <pthread.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <string>
#include <utility>
#include <vector>

class Camera;

class CameraSettings {
public:
    // At most this many actions wait; more are refused.
    static constexpr size_t kMaxWaitingActions = 4;
    // Outcomes kept, of the newest tickets.
    static constexpr size_t kMaxOutcomes = 256;

    explicit CameraSettings(Camera* camera) : m_pCamera(camera) {}

    CameraSettings(const CameraSettings&) = delete;
    CameraSettings& operator=(const CameraSettings&) = delete;

    // Whether the command (the request text after the sender identifier) is
    // one of the settings requests that Answer answers.
    // (Inline: the request listener is built without the camera's units.)
    static bool IsSettingsRequest(const std::string& command) {
        return command == "Settings" || command == "SettingsChanges" ||
               command.compare(0, 4, "Set ") == 0 || command.compare(0, 7, "Action ") == 0 ||
               command.compare(0, 8, "Outcome ") == 0;
    }
    // The reply to a settings request, without its NUL.
    std::string Answer(const std::string& command);

    // ---- the camera commands' side, on the command processor's thread

    // A new session: nothing is known until the settings are read.
    void Forget();
    // Reads every setting (or only id's, when id is not -1) from the camera.
    // A full read makes the largest live-view size the camera offers the
    // size in use, unless a client chose one since the service started.
    ZelError Read(__ZelObject* camera, int id);
    // The value of id as last read; false when the camera lacks it.
    bool Value(int id, uint32_t& value);
    // The newest waiting change of id: false when none waits.
    bool TakeChange(int id, uint32_t& value, uint64_t& ticket);
    // The oldest waiting action: false when none waits.
    bool TakeAction(std::string& action, int32_t& parameter, uint64_t& ticket);
    // Records how a change or action went: an empty reason is success.
    void Finish(uint64_t ticket, const std::string& reason);
    // The change command of id was dropped unrun (the queue was cleared).
    void ChangeDropped(int id);
    void ActionDropped();
    // Whether a read of id (any setting, when id is -1) is already queued;
    // sets the mark. Cleared by Read.
    bool MarkReadQueued(int id);
    // A read command of id was dropped unrun: the next event queues another.
    void ReadDropped(int id);

    // Whether a value is one the camera allows now (any value when it lists
    // none).
    static bool Allowed(const std::vector<uint32_t>& allowed, uint32_t value);

private:
    struct Entry {
        bool present = false;
        uint32_t value = 0;
        std::vector<uint32_t> allowed;
        bool readQueued = false;
        // The newest change asked for and not yet taken by its command.
        bool changeWaiting = false;
        uint32_t change = 0;
        uint64_t changeTicket = 0;
        // A change command of this setting is in the queue.
        bool changeQueued = false;
    };
    struct Action {
        std::string name;
        int32_t parameter;
        uint64_t ticket;
    };
    struct Outcome {
        uint64_t ticket;
        bool done;
        std::string reason; // empty: succeeded (when done)
    };

    std::string AnswerList();
    std::string AnswerSet(const std::string& arguments);
    std::string AnswerAction(const std::string& arguments);
    std::string AnswerOutcome(const std::string& arguments);
    // Whether the camera's settings can be read and changed now; notes a
    // change of that in the change counter. m_mutex held.
    bool Connected(bool cameraReady);
    // A refusal: logged when it starts a burst. m_mutex held.
    std::string Refuse(const std::string& reason);
    uint64_t NewTicket();
    void SetOutcome(uint64_t ticket, bool done, const std::string& reason);
    bool Changed(Entry& entry, bool present, uint32_t value, std::vector<uint32_t> allowed);
    // Reads one setting from the camera into the table (m_mutex not held).
    ZelError ReadOne(__ZelObject* camera, int id);

    Camera* const m_pCamera;
    pthread_mutex_t m_mutex = PTHREAD_MUTEX_INITIALIZER;
    Entry m_entries[kSettingCount];
    bool m_read = false;
    bool m_fullReadQueued = false;
    bool m_connected = false;
    uint64_t m_changes = 0;
    uint64_t m_nextTicket = 1;
    std::deque<Action> m_actions;
    size_t m_actionsQueued = 0;
    std::deque<Outcome> m_outcomes;
    // The size a client chose, which a new connection applies again.
    bool m_sizeChosen = false;
    uint32_t m_chosenSize = 0;
    std::chrono::steady_clock::time_point m_lastRefusal;
    std::chrono::steady_clock::time_point m_lastReplaced;
};

#endif
