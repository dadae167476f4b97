// The camera commands of the settings: read them, apply a change, run an
// action. They run on the command processor's thread between live-view
// downloads, take their work from the camera's settings table when they run
// (so the newest value wins) and record the outcome there. A command that is
// dropped unrun (the queue is cleared when streaming stops) says so to the
// table, so no client waits for it in vain.
#ifndef CVL_SERVICE_SETTINGCOMMANDS_H
#define CVL_SERVICE_SETTINGCOMMANDS_H

#include "Command.h"

class ReadSettingsCommand : public Command {
public:
    // id -1: every setting, and the live-view size chosen for a new session.
    ReadSettingsCommand(Camera* camera, int id) : Command(camera), m_id(id) {}
    ~ReadSettingsCommand() override;
    uint32_t execute() override;

private:
    const int m_id;
    bool m_ran = false;
};

class ApplySettingCommand : public Command {
public:
    ApplySettingCommand(Camera* camera, int id) : Command(camera), m_id(id) {}
    ~ApplySettingCommand() override;
    uint32_t execute() override;

private:
    const int m_id;
    bool m_ran = false;
};

class CameraActionCommand : public Command {
public:
    using Command::Command;
    ~CameraActionCommand() override;
    uint32_t execute() override;

private:
    bool m_ran = false;
};

#endif
