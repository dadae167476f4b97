// The module OBS loads: it registers the "Corvalink Camera" source. Only
// libobs's stable module interface is used (the source info structure is
// registered with its size), so OBS releases that keep that interface load
// the module built against an older one.
#include "CameraSource.h"
#include "SourceProperties.h"
#include "SourceRetirer.h"

#include <obs-module.h>

#include <cstdlib>
#include <new>

OBS_DECLARE_MODULE()

namespace {

using cvl::obs::CameraSource;

const char* GetName(void*) {
    return "Corvalink Camera";
}

void* Create(obs_data_t* settings, obs_source_t* source) {
    return new (std::nothrow) CameraSource(source, settings);
}

void Destroy(void* data) {
    auto* source = static_cast<CameraSource*>(data);
    source->Close();
    cvl::obs::SourceRetirer::Instance().Retire(source);
}

void Update(void* data, obs_data_t* settings) {
    static_cast<CameraSource*>(data)->Update(settings);
}

void Activate(void* data) {
    static_cast<CameraSource*>(data)->Activate();
}

void Deactivate(void* data) {
    static_cast<CameraSource*>(data)->Deactivate();
}

obs_properties_t* GetProperties(void* data) {
    return cvl::obs::MakeProperties(static_cast<CameraSource*>(data));
}

} // namespace

MODULE_EXPORT const char* obs_module_name(void) {
    return "Corvalink Camera";
}

MODULE_EXPORT const char* obs_module_description(void) {
    return "Live video from the camera that the Corvalink service drives";
}

bool obs_module_load(void) {
#ifdef CVL_PACKAGE_ROOT
    // The package's module belongs to the package's installation, as every
    // program of the package does; but OBS is started by the user, not by
    // one of the package's starters, so nothing set CVL_ROOT for it. Without
    // it the client library would look for the installation's files under
    // "/", and the frame relay would look for the other hosts (which run
    // with the package root) in a place of its own, so that the source got
    // the camera-busy picture while they stream. Set before any source makes
    // a client; a CVL_ROOT that the user set stays.
    setenv("CVL_ROOT", CVL_PACKAGE_ROOT, 0);
#endif
    obs_source_info info = {};
    info.id = "corvalink_camera";
    info.type = OBS_SOURCE_TYPE_INPUT;
    // A camera: one source per camera in a scene collection, the same
    // source again where it is pasted.
    info.output_flags = OBS_SOURCE_ASYNC_VIDEO | OBS_SOURCE_DO_NOT_DUPLICATE;
    info.get_name = GetName;
    info.create = Create;
    info.destroy = Destroy;
    info.update = Update;
    info.activate = Activate;
    info.deactivate = Deactivate;
    info.get_properties = GetProperties;
    info.get_defaults = cvl::obs::SetDefaults;
    info.icon_type = OBS_ICON_TYPE_CAMERA;
    obs_register_source(&info);
    return true;
}

void obs_module_unload(void) {
    cvl::obs::SourceRetirer::Instance().WaitForAll();
}
