#include "CVLPaths.h"

#include <cstdlib>
#include <mutex>
#include <set>
#include <string>

namespace {

std::string ReadRoot() {
    const char* value = std::getenv("CVL_ROOT");
    std::string root = value ? value : "";
    while (!root.empty() && root.back() == '/')
        root.pop_back();
    return root;
}

const std::string& Root() {
    static const std::string root = ReadRoot();
    return root;
}

} // namespace

extern "C" const char* CVLInstallRoot(void) {
    return Root().c_str();
}

extern "C" const char* CVLResolvePath(const char* fixedPath) {
    if (!fixedPath || fixedPath[0] != '/')
        return fixedPath;

    // Resolved texts are kept for the life of the process so that callers may
    // hold on to the pointer; set nodes never move.
    static std::mutex mutex;
    static std::set<std::string> resolved;
    std::lock_guard<std::mutex> lock(mutex);
    return resolved.insert(Root() + fixedPath).first->c_str();
}
