#include "SettingCommands.h"

#include "Camera.h"
#include "CameraSettings.h"
#include "Logger.h"
#include "SettingValue.h"

#include <ZelSDK/ZelSDK.h>

#include <string>

namespace {

// Why the camera did not take a change or an action, for the client.
std::string Reason(ZelError error, const std::string& what) {
    switch (error) {
    case ZEL_ERR_DEVICE_BUSY:
        return "the camera is busy; try again";
    case ZEL_ERR_INVALID_PARAMETER:
        return "the camera refused the value";
    case ZEL_ERR_PROPERTY_UNAVAILABLE:
        return "this camera cannot " + what;
    case ZEL_ERR_DEVICE_NOT_FOUND:
        return "the camera was disconnected";
    case ZEL_ERR_COMM_PORT_IS_IN_USE:
    case ZEL_ERR_COMM_PORT_IS_IN_USE_SESSION:
        return "another program holds the camera";
    case ZEL_ERR_SESSION_NOT_OPEN:
        return "the camera stopped streaming before the change";
    default:
        return "the camera answered with error " + std::to_string(error);
    }
}

// A camera that is gone or held by another program is the stream's
// business, as for every command; a refused change leaves the stream alone.
void MapToStatus(Camera* camera, ZelError error) {
    if (error == ZEL_ERR_DEVICE_NOT_FOUND || error == ZEL_ERR_COMM_PORT_IS_IN_USE ||
        error == ZEL_ERR_COMM_PORT_IS_IN_USE_SESSION)
        camera->SetStatus(static_cast<unsigned int>(error));
}

bool SessionOpen(Camera* camera) {
    return camera->GetStatus() >= Camera::SessionOpen;
}

} // namespace

ReadSettingsCommand::~ReadSettingsCommand() {
    if (!m_ran)
        m_pCamera->Settings().ReadDropped(m_id);
}

uint32_t ReadSettingsCommand::execute() {
    m_ran = true;
    if (!SessionOpen(m_pCamera)) {
        m_pCamera->Settings().ReadDropped(m_id);
        return 0;
    }
    const ZelError error = m_pCamera->Settings().Read(m_pCamera->GetCamera(), m_id);
    if (error != 0) {
        g_logger.Log("ReadSettingsCommand: error");
        MapToStatus(m_pCamera, error);
    } else if (m_id < 0) {
        g_logger.Log("ReadSettingsCommand: settings read");
    }
    return error;
}

ApplySettingCommand::~ApplySettingCommand() {
    if (!m_ran)
        m_pCamera->Settings().ChangeDropped(m_id);
}

uint32_t ApplySettingCommand::execute() {
    m_ran = true;
    CameraSettings& settings = m_pCamera->Settings();
    uint32_t value = 0;
    uint64_t ticket = 0;
    if (!settings.TakeChange(m_id, value, ticket))
        return 0;
    const std::string name = SettingName(m_id);
    const std::string text = FormatSettingValue(m_id, value);
    if (!SessionOpen(m_pCamera)) {
        settings.Finish(ticket, "the camera stopped streaming before the change");
        return 0;
    }
    __ZelObject* camera = m_pCamera->GetCamera();
    ZelError error = ZelSetPropertyData(camera, SettingProperty(m_id), 0, sizeof value, &value);
    if (error == 0)
        error = settings.Read(camera, m_id);
    if (error != 0) {
        const std::string reason = Reason(error, "set " + name);
        g_logger.Log("ApplySettingCommand: " + name + " not set to " + text + ": " + reason);
        settings.Finish(ticket, reason);
        MapToStatus(m_pCamera, error);
        return error;
    }
    // The camera has the value when it reads back as written.
    uint32_t now = 0;
    if (!settings.Value(m_id, now) || now != value) {
        const std::string reason =
            "the camera kept " + name + " at " + FormatSettingValue(m_id, now);
        g_logger.Log("ApplySettingCommand: " + name + " not set to " + text + ": " + reason);
        settings.Finish(ticket, reason);
        return 0;
    }
    g_logger.Log("ApplySettingCommand: " + name + " set to " + text);
    settings.Finish(ticket, "");
    return 0;
}

CameraActionCommand::~CameraActionCommand() {
    if (!m_ran)
        m_pCamera->Settings().ActionDropped();
}

uint32_t CameraActionCommand::execute() {
    m_ran = true;
    CameraSettings& settings = m_pCamera->Settings();
    std::string action;
    int32_t parameter = 0;
    uint64_t ticket = 0;
    if (!settings.TakeAction(action, parameter, ticket))
        return 0;
    if (!SessionOpen(m_pCamera)) {
        settings.Finish(ticket, "the camera stopped streaming before the action");
        return 0;
    }
    const bool autofocus = action == "autofocus";
    const std::string text = autofocus ? action
                                       : "focus " + std::string(parameter < 0 ? "near " : "far ") +
                                             std::to_string(parameter < 0 ? -parameter : parameter);
    const ZelError error =
        ZelSendCommand(m_pCamera->GetCamera(), autofocus ? ZEL_CMD_AUTOFOCUS : ZEL_CMD_DRIVE_FOCUS,
                       autofocus ? 0 : parameter);
    if (error != 0) {
        const std::string reason = Reason(error, autofocus ? "autofocus" : "drive the focus");
        g_logger.Log("CameraActionCommand: " + text + " failed: " + reason);
        settings.Finish(ticket, reason);
        MapToStatus(m_pCamera, error);
        return error;
    }
    g_logger.Log("CameraActionCommand: " + text);
    settings.Finish(ticket, "");
    return 0;
}
