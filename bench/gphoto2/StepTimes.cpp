// cvl-bench-gphoto2-steps: the libgphoto2 steps of the backend's helper
// process, one after another in one process as the helper takes them, each
// timed: the context, the camera-driver (abilities) list, the port list,
// detection, the camera's initialisation (PTP/IP connection and session),
// the viewfinder setting, the first previews and the exit; then detection
// and a second session in the same process with the driver list kept, as a
// helper that has served before takes them.
//
// Usage: cvl-bench-gphoto2-steps PORT [MODEL]
//   PORT   libgphoto2's port, e.g. ptpip:127.0.0.1:15740:15740
//   MODEL  a model name of libgphoto2's list (default "PTP/IP Camera")
// Prints one line a step ("<step> <ms>") and ends with one line of JSON.
#include <gphoto2/gphoto2-abilities-list.h>
#include <gphoto2/gphoto2-camera.h>
#include <gphoto2/gphoto2-context.h>
#include <gphoto2/gphoto2-file.h>
#include <gphoto2/gphoto2-list.h>
#include <gphoto2/gphoto2-port-info-list.h>
#include <gphoto2/gphoto2-result.h>
#include <gphoto2/gphoto2-widget.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

std::vector<std::pair<std::string, double>> g_steps;

// Runs step, records its time under name and returns its result.
template <typename Step> int Timed(const std::string& name, Step step) {
    const auto start = Clock::now();
    const int result = step();
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    g_steps.emplace_back(name, ms);
    std::printf("%-28s %9.1f ms%s\n", name.c_str(), ms, result < GP_OK ? "  (failed)" : "");
    std::fflush(stdout);
    return result;
}

int LoadPorts(GPPortInfoList** ports) {
    if (*ports)
        gp_port_info_list_free(*ports);
    *ports = nullptr;
    int result = gp_port_info_list_new(ports);
    if (result >= GP_OK)
        result = gp_port_info_list_load(*ports);
    return result;
}

int Detect(CameraAbilitiesList* abilities, GPPortInfoList* ports, GPContext* context) {
    CameraList* list = nullptr;
    int result = gp_list_new(&list);
    if (result >= GP_OK)
        result = gp_abilities_list_detect(abilities, ports, list, context);
    if (list)
        gp_list_free(list);
    return result;
}

int Init(Camera** camera, CameraAbilitiesList* abilities, GPPortInfoList* ports,
         const std::string& model, const std::string& port, GPContext* context) {
    const int index = gp_abilities_list_lookup_model(abilities, model.c_str());
    if (index < GP_OK)
        return index;
    CameraAbilities wanted;
    int result = gp_abilities_list_get_abilities(abilities, index, &wanted);
    const int at = result < GP_OK ? result : gp_port_info_list_lookup_path(ports, port.c_str());
    GPPortInfo info;
    if (result >= GP_OK)
        result = at < GP_OK ? at : gp_port_info_list_get_info(ports, at, &info);
    if (result >= GP_OK)
        result = gp_camera_new(camera);
    if (result >= GP_OK)
        result = gp_camera_set_abilities(*camera, wanted);
    if (result >= GP_OK)
        result = gp_camera_set_port_info(*camera, info);
    if (result >= GP_OK)
        result = gp_camera_init(*camera, context);
    return result;
}

int Viewfinder(Camera* camera, GPContext* context) {
    CameraWidget* widget = nullptr;
    int result = gp_camera_get_single_config(camera, "viewfinder", &widget, context);
    if (result < GP_OK)
        return result;
    int on = 1;
    result = gp_widget_set_value(widget, &on);
    if (result >= GP_OK)
        result = gp_camera_set_single_config(camera, "viewfinder", widget, context);
    gp_widget_free(widget);
    return result;
}

int Preview(Camera* camera, GPContext* context) {
    CameraFile* file = nullptr;
    int result = gp_file_new(&file);
    if (result >= GP_OK)
        result = gp_camera_capture_preview(camera, file, context);
    if (file)
        gp_file_unref(file);
    return result;
}

// One session: initialise, viewfinder, three previews, exit.
bool Session(const char* round, CameraAbilitiesList* abilities, GPPortInfoList* ports,
             const std::string& model, const std::string& port, GPContext* context) {
    const std::string prefix = std::string(round) + " ";
    Camera* camera = nullptr;
    const int init = Timed(prefix + "camera init",
                           [&] { return Init(&camera, abilities, ports, model, port, context); });
    if (init < GP_OK) {
        if (camera)
            gp_camera_free(camera);
        return false;
    }
    // A camera without the setting fails here at once; the helper goes on.
    Timed(prefix + "viewfinder on", [&] { return Viewfinder(camera, context); });
    for (int i = 1; i <= 3; ++i)
        Timed(prefix + "preview " + std::to_string(i), [&] { return Preview(camera, context); });
    Timed(prefix + "camera exit", [&] {
        const int result = gp_camera_exit(camera, context);
        gp_camera_free(camera);
        return result;
    });
    return true;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: cvl-bench-gphoto2-steps PORT [MODEL]\n");
        return 2;
    }
    const std::string port = argv[1];
    const std::string model = argc > 2 ? argv[2] : "PTP/IP Camera";
    GPContext* context = nullptr;
    CameraAbilitiesList* abilities = nullptr;
    GPPortInfoList* ports = nullptr;

    Timed("context", [&] {
        context = gp_context_new();
        return context ? GP_OK : GP_ERROR_NO_MEMORY;
    });
    if (Timed("abilities list load", [&] {
            int result = gp_abilities_list_new(&abilities);
            if (result >= GP_OK)
                result = gp_abilities_list_load(abilities, context);
            return result;
        }) < GP_OK)
        return 1;
    bool ok = Timed("first port list load", [&] { return LoadPorts(&ports); }) >= GP_OK;
    Timed("first detect", [&] { return Detect(abilities, ports, context); });
    ok = ok && Timed("first open's port list load", [&] { return LoadPorts(&ports); }) >= GP_OK;
    ok = ok && Session("first", abilities, ports, model, port, context);
    ok = ok && Timed("second port list load", [&] { return LoadPorts(&ports); }) >= GP_OK;
    Timed("second detect", [&] { return Detect(abilities, ports, context); });
    ok = ok && Session("second", abilities, ports, model, port, context);

    if (ports)
        gp_port_info_list_free(ports);
    gp_abilities_list_free(abilities);
    gp_context_unref(context);

    std::printf("{");
    for (size_t i = 0; i < g_steps.size(); ++i)
        std::printf("%s\"%s\": %.1f", i ? ", " : "", g_steps[i].first.c_str(), g_steps[i].second);
    std::printf("}\n");
    return ok ? 0 : 1;
}
