#include "InstalledRoot.h"

#include "TestSupport.h"

#include <algorithm>
#include <fcntl.h>
#include <spawn.h>
#include <unistd.h>

extern char** environ;

namespace cvl::test {

InstalledRoot::InstalledRoot() : m_path(MakeFolder("dpkg-root")) {
    // An empty dpkg database, and /opt, which the base system makes on every
    // Debian system and no package owns.
    MakeFolder("dpkg-root/var/lib/dpkg/info");
    MakeFolder("dpkg-root/var/lib/dpkg/updates");
    MakeFolder("dpkg-root/opt");
    WriteFile(m_path + "/var/lib/dpkg/status", "");
}

int InstalledRoot::Dpkg(const std::string& action, std::string& output) const {
    output.clear();
    // The root has no shell to run the maintainer scripts in: they run on
    // this machine, reaching the root through DPKG_ROOT. The package's
    // dependencies are the machine's, which this root does not record.
    return RunCommand("dpkg --root=" + ShellQuote(m_path) +
                          " --force-depends --force-script-chrootless " + action + " 2>&1",
                      &output);
}

bool InstalledRoot::Install(std::string& output) const {
    return Dpkg("-i " + ShellQuote(kPackage), output) == 0;
}

std::string InstalledRoot::Mounts() const {
    const std::string opt = kPackageRoot;
    std::string mounts = "mount --make-rprivate / && mount -t tmpfs tmpfs /opt && mkdir " +
                         ShellQuote(opt) + " && mount --bind " + ShellQuote(m_path + opt) + " " +
                         ShellQuote(opt);
    for (const char* folder :
         {"/usr/bin", "/usr/share/man/man1", "/etc/alternatives", CVL_PACKAGE_LIBDIR "/obs-plugins",
          CVL_PACKAGE_LIBDIR "/gstreamer-1.0"})
        if (FileExists(m_path + folder) && FileExists(folder))
            mounts += std::string(" && mount -t overlay overlay -o lowerdir=") +
                      ShellQuote(m_path + folder) + ":" + folder + " " + folder;
    return mounts;
}

bool InstalledRoot::CanRunInPlace() const {
    return RunCommand("unshare -m sh -c " + ShellQuote(Mounts()) + " >/dev/null 2>&1") == 0;
}

int InstalledRoot::RunInPlace(const std::string& command, std::string& output) const {
    output.clear();
    return RunCommand("unshare -m sh -c " + ShellQuote(Mounts() + " && " + command) + " 2>&1",
                      &output);
}

std::vector<std::string> InstalledRoot::InPlaceWords() const {
    return {"unshare", "-m", "sh", "-c", Mounts() + " && exec \"$@\"", "in-place"};
}

pid_t InstalledRoot::SpawnInPlace(const std::string& command,
                                  const std::map<std::string, std::string>& environment,
                                  const std::string& stderrFile, int asUser,
                                  const std::vector<unsigned>& groups) const {
    // The installation's programs set CVL_ROOT themselves; nothing of the
    // test's own staged root or camera settings reaches them unasked.
    std::vector<std::string> variables;
    for (char** entry = environ; *entry; ++entry) {
        const std::string variable = *entry;
        const std::string name = variable.substr(0, variable.find('='));
        if (name == "CVL_ROOT" || name.rfind("ZELSIM_", 0) == 0 ||
            name.rfind("CVL_GPHOTO2_", 0) == 0 || environment.count(name))
            continue;
        variables.push_back(variable);
    }
    for (const auto& [name, value] : environment)
        if (!value.empty())
            variables.push_back(name + "=" + value);
    std::vector<char*> envp;
    for (std::string& variable : variables)
        envp.push_back(variable.data());
    envp.push_back(nullptr);

    std::string run = command;
    if (asUser >= 0) {
        std::string list;
        for (unsigned group : groups)
            list += (list.empty() ? "" : ",") + std::to_string(group);
        const std::string id = std::to_string(asUser);
        run = "setpriv --reuid=" + id + " --regid=" + id +
              (list.empty() ? " --clear-groups " : " --groups=" + list + " ") + command;
    }
    std::string script = Mounts() + " && exec " + run;
    std::string unshare = "unshare", option = "-m", shell = "sh", dashC = "-c";
    char* argv[] = {unshare.data(), option.data(), shell.data(),
                    dashC.data(),   script.data(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, stderrFile.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    pid_t pid = -1;
    const int result = posix_spawnp(&pid, "unshare", &actions, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    return result == 0 ? pid : -1;
}

std::vector<std::string> InstalledRoot::Entries() const {
    std::string output;
    RunCommand("cd " + ShellQuote(m_path) +
                   " && find . -mindepth 1 ! -path './var/lib/dpkg' ! -path './var/lib/dpkg/*' | "
                   "sed 's|^\\.||' | sort",
               &output);
    return SplitLines(output);
}

} // namespace cvl::test
