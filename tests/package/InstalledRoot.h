// The Debian package that tools/build-deb.sh made, installed with
// dpkg --root into a throw-away root of the test's own, and commands run
// with that installation at its real places: in a mount namespace of the
// command's own, the root's /opt/corvalink is mounted at /opt/corvalink,
// and its /usr/bin, /etc/alternatives and the plug-in folders of OBS and
// GStreamer lie over the system's (overlay), so that the starters, the
// units, the camera SDK alternative, the OBS source and the element resolve
// as on an installed system, and nothing of the machine changes.
#ifndef CVL_TESTS_PACKAGE_INSTALLEDROOT_H
#define CVL_TESTS_PACKAGE_INSTALLEDROOT_H

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

namespace cvl::test {

inline const std::string kPackage = CVL_PACKAGE_FILE;
inline const std::string kPackageRoot = CVL_PACKAGE_ROOT;

class InstalledRoot {
public:
    InstalledRoot();

    // dpkg --root ACTION (-i PACKAGE, -r corvalink, -P corvalink), maintainer
    // scripts run on this machine with DPKG_ROOT; its exit status, and what
    // it wrote on both outputs.
    int Dpkg(const std::string& action, std::string& output) const;
    bool Install(std::string& output) const;

    const std::string& Path() const { return m_path; }

    // Whether this machine can make the mount namespace.
    bool CanRunInPlace() const;
    // Runs a shell command in place; its exit status and both outputs.
    int RunInPlace(const std::string& command, std::string& output) const;
    // Starts a shell command in place, as the process it execs to (same
    // pid), with the test's environment changed by `environment` (a value
    // of "" removes the variable) and its standard error into stderrFile.
    // With asUser (a user id), the command runs as that user, with
    // supplementary groups exactly `groups`.
    pid_t SpawnInPlace(const std::string& command,
                       const std::map<std::string, std::string>& environment,
                       const std::string& stderrFile, int asUser = -1,
                       const std::vector<unsigned>& groups = {}) const;

    // The words that run a command line (appended to them) in place: a
    // shell that makes the mounts and execs the rest.
    std::vector<std::string> InPlaceWords() const;

    // Files, links and folders under the root, each beginning with "/",
    // but dpkg's own records.
    std::vector<std::string> Entries() const;

private:
    std::string Mounts() const;

    std::string m_path;
};

} // namespace cvl::test

#endif
