#include "ControlPath.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace zelsim {

namespace {

// Makes folder (mode 0700) unless it exists; refuses one that is not a real
// folder or that belongs to another user.
bool PrivateFolder(const std::string& folder, std::string& error) {
    if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        error = "cannot create " + folder + ": " + std::strerror(errno);
        return false;
    }
    struct stat info;
    if (lstat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        error = folder + " is not a folder";
        return false;
    }
    if (info.st_uid != getuid()) {
        error = folder + " belongs to another user";
        return false;
    }
    return true;
}

// The installation root the process runs in: CVL_ROOT, or "/" when it is
// unset or empty. The platform layer reads it itself, depending on nothing
// of the system above it.
std::string InstallRoot() {
    const char* value = std::getenv("CVL_ROOT");
    std::string root = value ? value : "";
    while (root.size() > 1 && root.back() == '/')
        root.pop_back();
    return root.empty() ? "/" : root;
}

uint64_t Fnv1a(const std::string& text) {
    uint64_t hash = 14695981039346656037ull;
    for (unsigned char c : text) {
        hash ^= c;
        hash *= 1099511628211ull;
    }
    return hash;
}

} // namespace

bool ControlSocketPath(std::string& path, std::string& error) {
    std::string base;
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && runtime[0]) {
        base = runtime;
    } else {
        base = "/tmp/runtime-" + std::to_string(getuid());
        if (!PrivateFolder(base, error))
            return false;
    }
    std::string folder = base + "/zelsim";
    if (!PrivateFolder(folder, error))
        return false;

    // The same installation named two ways (a symbolic link, "/" or "") must
    // give the same key.
    std::string root = InstallRoot();
    char resolved[PATH_MAX];
    if (realpath(root.c_str(), resolved))
        root = resolved;
    char key[17];
    std::snprintf(key, sizeof key, "%016llx", static_cast<unsigned long long>(Fnv1a(root)));
    path = folder + "/" + key + ".sock";
    if (path.size() >= sizeof(sockaddr_un::sun_path)) {
        error = "control socket path too long: " + path;
        return false;
    }
    return true;
}

} // namespace zelsim
