// The Debian package that tools/build-deb.sh made (the ctest fixture
// package_build): its files and control fields, lintian, the systemd user
// unit, and a real installation into a throw-away root with dpkg --root,
// from which the service streams live frames, and its removal.
#include "CVLClient.h"
#include "CVLPaths.h"
#include "FrameWatch.h"
#include "ServiceHarness.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <grp.h>
#include <map>
#include <set>
#include <spawn.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace cvl::test {
namespace {

const std::string kPackage = CVL_PACKAGE_FILE;
const std::string kRoot = CVL_PACKAGE_ROOT;
const std::string kUnit = "/usr/lib/systemd/user/corvalink.service";

bool HaveProgram(const std::string& name) {
    return RunCommand("command -v " + name + " >/dev/null 2>&1") == 0;
}

// "path" of every entry of the package, without the leading "./" and without
// the trailing "/" of folders, mapped to its "ls -l" mode text.
std::map<std::string, std::string> PackageEntries() {
    std::string listing;
    EXPECT_EQ(RunCommand("dpkg-deb -c " + ShellQuote(kPackage), &listing), 0);
    std::map<std::string, std::string> entries;
    for (const std::string& line : SplitLines(listing)) {
        const size_t path = line.find(" ./");
        if (path == std::string::npos)
            continue;
        std::string name = line.substr(path + 2);
        const size_t arrow = name.find(" -> ");
        if (arrow != std::string::npos)
            name.erase(arrow);
        if (name.size() > 1 && name.back() == '/')
            name.pop_back();
        entries[name] = line.substr(0, 10);
    }
    return entries;
}

// The files and links of a folder, relative to it, each beginning with "/".
std::set<std::string> FilesUnder(const std::string& folder) {
    std::string output;
    RunCommand("cd " + ShellQuote(folder) + " && find . ! -type d | sed 's|^\\.||'", &output);
    const std::vector<std::string> lines = SplitLines(output);
    return std::set<std::string>(lines.begin(), lines.end());
}

// A root with an empty dpkg database, then the package installed into it.
// The package's dependencies are the host's; this root holds only the package.
std::string InstallIntoThrowAwayRoot() {
    const std::string root = MakeFolder("dpkg-root");
    MakeFolder("dpkg-root/var/lib/dpkg/info");
    MakeFolder("dpkg-root/var/lib/dpkg/updates");
    WriteFile(root + "/var/lib/dpkg/status", "");
    std::string output;
    // The root has no shell to run postinst in: it runs on this machine,
    // reaching the root through DPKG_ROOT.
    const int status = RunCommand("dpkg --root=" + ShellQuote(root) +
                                      " --force-depends --force-script-chrootless -i " +
                                      ShellQuote(kPackage) + " 2>&1",
                                  &output);
    EXPECT_EQ(status, 0) << output;
    // postinst gave the run-time files to the group video, and the frame
    // folder to its members.
    struct stat folder {};
    const std::string frames = root + kRoot + CVL_PATH_SANDBOX_FRAMES;
    EXPECT_EQ(stat(frames.c_str(), &folder), 0) << frames;
    EXPECT_EQ(folder.st_mode & 07777, 0770u);
    if (const group* video = getgrnam("video")) {
        EXPECT_EQ(folder.st_gid, video->gr_gid);
    }
    return root;
}

// Runs a shell command in a mount namespace of its own where the root of
// the package installed in throwAwayRoot is mounted at its real place, so
// that the absolute paths of the installed files hold. Returns the exit
// status; -2 when no such namespace can be made here.
int RunWithRootMounted(const std::string& throwAwayRoot, const std::string& command,
                       std::string& output) {
    const std::string mount = "mount --make-rprivate / && mount -t tmpfs tmpfs /opt && mkdir " +
                              ShellQuote(kRoot) + " && mount --bind " +
                              ShellQuote(throwAwayRoot + kRoot) + " " + ShellQuote(kRoot);
    if (RunCommand("unshare -m sh -c " + ShellQuote(mount) + " >/dev/null 2>&1") != 0)
        return -2;
    return RunCommand("unshare -m sh -c " + ShellQuote(mount + " && " + command) + " 2>&1",
                      &output);
}

TEST(DebianPackage, HoldsTheWholeLayoutUnderItsRootAndTheSystemFiles) {
    const std::map<std::string, std::string> entries = PackageEntries();
    ASSERT_FALSE(entries.empty());

    // Every file of the staged installation, under the package root. The
    // CMake package's per-configuration file is named after the build type.
    const std::string staged = MakeFolder("staged");
    ASSERT_TRUE(StageInstallation(staged));
    const std::set<std::string> files = FilesUnder(staged);
    ASSERT_GE(files.size(), 20u);
    for (std::string file : files) {
        const size_t debug = file.find("-debug.cmake");
        if (debug != std::string::npos)
            file.replace(debug, 12, "-release.cmake");
        EXPECT_EQ(entries.count(kRoot + file), 1u) << file;
    }

    // Outside the root only the system files, nothing of the platform's own.
    const std::vector<std::string> system = {
        kUnit,
        "/usr/bin/corvalink-console",
        "/usr/bin/corvalink-uninstaller",
        "/usr/share/man/man1/corvalink-console.1.gz",
        "/usr/share/man/man1/corvalink-uninstaller.1.gz",
        CVL_PACKAGE_LIBDIR "/pkgconfig/corvalink.pc",
        CVL_PACKAGE_LIBDIR "/cmake/Corvalink/CorvalinkConfig.cmake",
        CVL_PACKAGE_LIBDIR "/cmake/Corvalink/CorvalinkConfigVersion.cmake",
        CVL_PACKAGE_LIBDIR "/gstreamer-1.0/libgstcvlsrc.so",
        "/usr/share/doc/corvalink/copyright",
        "/usr/share/doc/corvalink/changelog.gz",
        "/usr/share/doc/corvalink/README.Debian",
        "/usr/share/lintian/overrides/corvalink",
    };
    for (const std::string& file : system) {
        ASSERT_EQ(entries.count(file), 1u) << file;
        EXPECT_NE(entries.at(file)[0], 'd') << file;
    }
    for (const auto& [path, mode] : entries) {
        if (path == "/opt" || path.rfind(kRoot, 0) == 0 || mode[0] == 'd')
            continue;
        EXPECT_NE(std::find(system.begin(), system.end(), path), system.end()) << path;
    }

    // The starters run programs of the root, with the root as CVL_ROOT.
    const std::string extracted = MakeFolder("extracted");
    ASSERT_EQ(RunCommand("dpkg-deb -x " + ShellQuote(kPackage) + " " + ShellQuote(extracted)), 0);
    for (const char* starter : {"/usr/bin/corvalink-console", "/usr/bin/corvalink-uninstaller"}) {
        std::string script;
        ASSERT_TRUE(ReadFile(extracted + starter, script));
        EXPECT_NE(script.find("\nCVL_ROOT=" + kRoot + "\nexport CVL_ROOT\n"), std::string::npos)
            << script;
        const size_t exec = script.find("exec \"");
        ASSERT_NE(exec, std::string::npos) << script;
        const std::string program =
            script.substr(exec + 6, script.find('"', exec + 6) - (exec + 6));
        EXPECT_EQ(entries.count(program) ? entries.at(program)[3] : '-', 'x') << program;
    }

    // The run-time files the service writes as the user.
    for (const char* file :
         {CVL_PATH_LOG, CVL_PATH_SANDBOX_FRAMES "/sbFrame0", CVL_PATH_SANDBOX_FRAMES "/sbFrame2"})
        EXPECT_EQ(entries.count(kRoot + file) ? entries.at(kRoot + file) : "", "-rw-rw----")
            << file;
    // A release build: no sanitizer runtime anywhere.
    std::string depends;
    RunCommand("dpkg-deb -f " + ShellQuote(kPackage) + " Depends", &depends);
    EXPECT_EQ(depends.find("libasan"), std::string::npos) << depends;
    EXPECT_EQ(depends.find("libubsan"), std::string::npos) << depends;
}

TEST(DebianPackage, ControlFieldsNameThePackageAndItsLibraries) {
    std::string output;
    ASSERT_EQ(RunCommand("dpkg-deb -f " + ShellQuote(kPackage), &output), 0);
    std::map<std::string, std::string> fields;
    std::string last;
    for (const std::string& line : SplitLines(output)) {
        const size_t colon = line.find(": ");
        if (!line.empty() && line[0] != ' ' && colon != std::string::npos) {
            last = line.substr(0, colon);
            fields[last] = line.substr(colon + 2);
        } else if (!last.empty()) {
            fields[last] += "\n" + line;
        }
    }
    EXPECT_EQ(fields["Package"], "corvalink");
    EXPECT_EQ(fields["Version"], CVL_PACKAGE_VERSION);
    EXPECT_EQ(fields["Architecture"], "amd64");
    EXPECT_EQ(fields["Section"], "video");
    EXPECT_EQ(fields["Priority"], "optional");
    EXPECT_NE(fields["Maintainer"].find('@'), std::string::npos);
    // A synopsis and a long description.
    EXPECT_EQ(fields["Description"].rfind("live video from a USB-tethered camera\n", 0), 0u)
        << fields["Description"];
    // Computed from what the programs link (dpkg-shlibdeps), with versions.
    for (const char* library :
         {"libc6 (>=", "libstdc++6 (>=", "libjpeg62-turbo (>=", "libgnustep-gui", "libgnustep-base",
          "libobjc4", "libgstreamer1.0-0 (>="})
        EXPECT_NE(fields["Depends"].find(library), std::string::npos) << library;
    EXPECT_EQ(kPackage.substr(kPackage.rfind('/') + 1),
              "corvalink_" + fields["Version"] + "_amd64.deb");
}

TEST(DebianPackage, LintianFindsNothingThatIsNotOverridden) {
    ASSERT_TRUE(HaveProgram("lintian"));
    std::string output;
    EXPECT_EQ(RunCommand("lintian --fail-on error,warning,info --info " + ShellQuote(kPackage) +
                             " 2>/dev/null",
                         &output),
              0);
    for (const std::string& line : SplitLines(output))
        EXPECT_TRUE(line.rfind("N:", 0) == 0 || line.empty()) << line;
    // It did look at the package: the overrides were used.
    RunCommand("lintian --show-overrides " + ShellQuote(kPackage) + " 2>/dev/null", &output);
    EXPECT_NE(output.find("O: corvalink: dir-or-file-in-opt [opt/corvalink/Applications/"),
              std::string::npos)
        << output;
    // Every override has its one-line reason.
    std::string overrides;
    const std::string extracted = MakeFolder("extracted");
    ASSERT_EQ(RunCommand("dpkg-deb -x " + ShellQuote(kPackage) + " " + ShellQuote(extracted)), 0);
    ASSERT_TRUE(ReadFile(extracted + "/usr/share/lintian/overrides/corvalink", overrides));
    bool reason = false;
    for (const std::string& line : SplitLines(overrides)) {
        if (line.rfind("corvalink: ", 0) == 0) {
            EXPECT_TRUE(reason) << line;
        }
        reason = line.rfind("# ", 0) == 0;
    }
}

TEST(DebianPackage, UserUnitRunsTheServiceOfTheRoot) {
    const std::string root = InstallIntoThrowAwayRoot();
    std::string unit;
    ASSERT_TRUE(ReadFile(root + kUnit, unit));
    const std::vector<std::string> lines = SplitLines(unit);
    for (const std::string& expected :
         {"Environment=CVL_ROOT=" + kRoot,
          "ExecStart=" + kRoot + CVL_PATH_APPLICATION "/CVLService",
          std::string("Restart=on-failure"), std::string("KillSignal=SIGTERM"),
          std::string("WantedBy=default.target")})
        EXPECT_NE(std::find(lines.begin(), lines.end(), expected), lines.end()) << expected;
    // Exit status 0 (after "Close") stays a success that is not restarted.
    EXPECT_EQ(unit.find("SuccessExitStatus"), std::string::npos);
    EXPECT_EQ(unit.find("RestartPreventExitStatus"), std::string::npos);

    if (!HaveProgram("systemd-analyze"))
        GTEST_SKIP() << "systemd-analyze is not installed";
    // systemd-analyze verify checks that ExecStart exists, at its real path.
    std::string output;
    const int status =
        RunWithRootMounted(root, "systemd-analyze verify " + ShellQuote(root + kUnit), output);
    if (status == -2)
        GTEST_SKIP() << "no mount namespace for systemd-analyze";
    EXPECT_EQ(status, 0) << output;
    EXPECT_EQ(output, "");
}

TEST(DebianPackage, DevelopersFindTheClientLibraryFromTheSystemPlaces) {
    const std::string root = InstallIntoThrowAwayRoot();
    const std::string host = SourceDir() + "/docs/example-host";
    const std::string build = MakeFolder("host-build");
    const std::string libdir = root + CVL_PACKAGE_LIBDIR;
    // pkg-config from its system folder (the file there leads into the
    // root), and find_package through the CMake files there. Both hosts run
    // on the installed library: without a service they get the package's
    // stock error frame.
    const std::string script =
        "set -e; PKG_CONFIG_PATH=" + ShellQuote(libdir + "/pkgconfig") +
        " pkg-config --cflags --libs corvalink > " + ShellQuote(build + "/flags") +
        "; c++ -std=c++17 " + ShellQuote(host + "/main.cpp") + " -o " +
        ShellQuote(build + "/pc-host") + " $(cat " + ShellQuote(build + "/flags") + "); cmake -S " +
        ShellQuote(host) + " -B " + ShellQuote(build + "/cmake") +
        " -G Ninja -DCorvalink_DIR=" + ShellQuote(libdir + "/cmake/Corvalink") +
        " >/dev/null; cmake --build " + ShellQuote(build + "/cmake") +
        " >/dev/null; export CVL_ROOT=" + kRoot + "; " + ShellQuote(build + "/pc-host") + " 1; " +
        ShellQuote(build + "/cmake/example-host") + " 1";
    std::string output;
    const int status = RunWithRootMounted(root, script, output);
    if (status == -2)
        GTEST_SKIP() << "no mount namespace to install the package at its place";
    ASSERT_EQ(status, 0) << output;
    std::string flags, errorFrame;
    ReadFile(build + "/flags", flags);
    EXPECT_NE(flags.find("-I" + kRoot + "/usr/include"), std::string::npos) << flags;
    EXPECT_NE(flags.find("-Wl,-rpath," + kRoot + "/usr/lib"), std::string::npos) << flags;
    ASSERT_TRUE(ReadFile(root + kRoot + CVL_PATH_ERROR_FRAME, errorFrame));
    const std::string line = "frame 1: " + std::to_string(errorFrame.size()) + " bytes\n";
    EXPECT_EQ(output, line + "sandbox mode: off\n" + line + "sandbox mode: off\n");
}

// GStreamer finds the packaged element in its system plug-in folder, with no
// GST_PLUGIN_PATH, and the element finds the client library in the root.
TEST(DebianPackage, GStreamerFindsTheElementWithoutAPluginPath) {
    ASSERT_TRUE(HaveProgram("gst-inspect-1.0"));
    const std::string root = InstallIntoThrowAwayRoot();
    const std::string registry = MakeFolder("gst") + "/registry.bin";
    // The throw-away root stands in for the system's folder: GStreamer's
    // system path is pointed there, as /usr/lib would be on an installation.
    const std::string script =
        "unset GST_PLUGIN_PATH; GST_REGISTRY=" + ShellQuote(registry) +
        " GST_PLUGIN_SYSTEM_PATH_1_0=" + ShellQuote(root + CVL_PACKAGE_LIBDIR "/gstreamer-1.0") +
        " gst-inspect-1.0 cvlsrc";
    std::string output;
    const int status = RunWithRootMounted(root, script, output);
    if (status == -2)
        GTEST_SKIP() << "no mount namespace to install the package at its place";
    ASSERT_EQ(status, 0) << output;
    EXPECT_NE(output.find("Factory Details:"), std::string::npos) << output;
    EXPECT_NE(output.find("start-sandbox"), std::string::npos) << output;
}

// The packaged service, started as the user unit would start it.
class PackagedService {
public:
    explicit PackagedService(const std::string& root) : m_root(root + kRoot) {}
    ~PackagedService() { KillAndReap(m_pid); }

    bool Start() {
        std::vector<std::string> variables;
        for (char** entry = environ; *entry; ++entry) {
            const std::string variable = *entry;
            if (variable.rfind("CVL_ROOT=", 0) != 0 && variable.rfind("ZELSIM_", 0) != 0)
                variables.push_back(variable);
        }
        variables.push_back("CVL_ROOT=" + m_root);
        std::vector<char*> envp;
        for (std::string& variable : variables)
            envp.push_back(variable.data());
        envp.push_back(nullptr);
        std::string program = m_root + CVL_PATH_APPLICATION "/CVLService";
        char* argv[] = {program.data(), nullptr};
        // The probe commands are absent here; what the shell says goes to a file.
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        const std::string errors = TempFolder() + "/service-stderr.txt";
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errors.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int result =
            posix_spawn(&m_pid, program.c_str(), &actions, nullptr, argv, envp.data());
        posix_spawn_file_actions_destroy(&actions);
        if (result != 0)
            m_pid = -1;
        return result == 0;
    }

    std::string Zelsim(const std::string& verb) {
        std::string output;
        RunCommand("CVL_ROOT=" + ShellQuote(m_root) + " " + ShellQuote(m_root + "/usr/bin/zelsim") +
                       " " + verb + " 2>&1",
                   &output);
        return output;
    }

    std::string Log() {
        std::string log;
        ReadFile(m_root + CVL_PATH_LOG, log);
        return log;
    }

    // The exit status after SIGTERM, or -1.
    int Terminate() {
        kill(m_pid, SIGTERM);
        int status = 0;
        const bool ended = WaitFor([&] { return waitpid(m_pid, &status, WNOHANG) == m_pid; },
                                   std::chrono::seconds(20));
        if (!ended)
            return -1;
        m_pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    std::string m_root;
    pid_t m_pid = -1;
};

TEST(DebianPackage, InstalledServiceStreamsAndRemovalLeavesNothing) {
    const std::string root = InstallIntoThrowAwayRoot();

    // Every program and library of the root finds its libraries by itself.
    std::string objects;
    RunCommand("cd " + ShellQuote(root) +
                   " && find opt -type f \\( -perm -u+x -o -name '*.so*' \\)",
               &objects);
    ASSERT_GE(SplitLines(objects).size(), 9u) << objects;
    for (const std::string& object : SplitLines(objects)) {
        std::string libraries;
        EXPECT_EQ(RunCommand("ldd " + ShellQuote(root + "/" + object), &libraries), 0) << object;
        EXPECT_EQ(libraries.find("not found"), std::string::npos) << object << ":\n" << libraries;
    }

    {
        PackagedService service(root);
        ASSERT_TRUE(service.Start());
        ASSERT_TRUE(WaitFor(
            [&] { return service.Log().find("camera controller started") != std::string::npos; },
            std::chrono::seconds(30)))
            << service.Log();
        ASSERT_TRUE(WaitFor(
            [&] { return service.Zelsim("status").find("attached: yes") != std::string::npos; },
            std::chrono::seconds(30)))
            << service.Zelsim("status");
        CVLClient client;
        client.StartStreaming();
        EXPECT_TRUE(WaitForFrame(client, FrameKind::Live, std::chrono::seconds(30)))
            << service.Log();
        client.StopStreaming();
        EXPECT_EQ(service.Terminate(), 0);
    }

    // Removal takes every file and folder it brought, the ones the service
    // rewrote as well; only dpkg's own records stay.
    std::string output;
    ASSERT_EQ(RunCommand("dpkg --root=" + ShellQuote(root) + " -r corvalink 2>&1", &output), 0)
        << output;
    std::string left;
    RunCommand("cd " + ShellQuote(root) + " && find . -mindepth 1 ! -path './var*'", &left);
    EXPECT_EQ(left, "");
}

} // namespace
} // namespace cvl::test
