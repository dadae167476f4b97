// The Debian package that tools/build-deb.sh made (the ctest fixture
// package_build): its files and control fields, lintian, and what an
// installation into a throw-away root holds: the camera SDK alternative,
// the programs on PATH with their help and man pages, the user units, and
// the files that developers and GStreamer find.
#include "InstalledRoot.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <grp.h>
#include <map>
#include <set>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace cvl::test {
namespace {

const std::string kRoot = CVL_PACKAGE_ROOT;
const std::string kUnits = "/usr/lib/systemd/user";
const std::string kFramework = kRoot + "/Library/Frameworks/ZelSDK.framework";

bool HaveProgram(const std::string& name) {
    return RunCommand("command -v " + name + " >/dev/null 2>&1") == 0;
}

// "path" of every entry of the package, without the leading "." and without
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

std::string Extracted() {
    const std::string extracted = MakeFolder("extracted");
    EXPECT_EQ(RunCommand("dpkg-deb -x " + ShellQuote(kPackage) + " " + ShellQuote(extracted)), 0);
    return extracted;
}

// The installation, or a skipped test where this machine cannot put it in
// place.
#define INSTALL_IN_PLACE(root)                                                                     \
    InstalledRoot root;                                                                            \
    {                                                                                              \
        std::string installOutput;                                                                 \
        ASSERT_TRUE(root.Install(installOutput)) << installOutput;                                 \
        if (!root.CanRunInPlace())                                                                 \
            GTEST_SKIP() << "no mount namespace to put the installation in place";                 \
    }

TEST(DebianPackage, HoldsTheStagedLayoutWithoutTheUninstallerBothCameraSdksAndTheSystemFiles) {
    const std::map<std::string, std::string> entries = PackageEntries();
    ASSERT_FALSE(entries.empty());

    // Every file of the staged installation's default component (not the
    // uninstaller's, nor the desktop camera's unit and man page, which the
    // package has in the system's folders) is under the package root. The
    // CMake package's per-configuration file
    // is named after the build type; the staged camera SDK (the simulator)
    // is one of the package's two.
    const std::string staged = MakeFolder("staged");
    ASSERT_EQ(RunCommand("DESTDIR=" + ShellQuote(staged) + " cmake --install " +
                         ShellQuote(BinaryDir()) + " --component Unspecified >/dev/null"),
              0);
    const std::set<std::string> files = FilesUnder(staged);
    ASSERT_GE(files.size(), 20u);
    for (std::string file : files) {
        const size_t config = file.find("CorvalinkTargets-");
        if (config != std::string::npos)
            file = file.substr(0, config) + "CorvalinkTargets-release.cmake";
        const std::string sdk = "/ZelSDK.framework/Versions/A/";
        const size_t version = file.find(sdk);
        if (version != std::string::npos)
            file.replace(version, sdk.size(), "/ZelSDK.framework/Versions/Simulator/");
        EXPECT_EQ(entries.count(kRoot + file), 1u) << file;
    }
    for (const char* version : {"Gphoto2", "Simulator"}) {
        EXPECT_EQ(entries.count(kFramework + "/Versions/" + version + "/libZelSDK.so"), 1u);
        EXPECT_EQ(entries.count(kFramework + "/Versions/" + version + "/Headers/ZelSDK.h"), 1u);
    }
    // The libgphoto2 SDK as a whole: its helper beside its library.
    EXPECT_EQ(entries.count(kFramework + "/Versions/Gphoto2/zelsdk-gphoto2-helper"), 1u);
    // Versions/A is the alternatives' link, made by postinst.
    EXPECT_EQ(entries.count(kFramework + "/Versions/A"), 0u);

    // Nothing of the uninstaller, nor the platform pieces only it uses.
    for (const auto& [path, mode] : entries) {
        EXPECT_EQ(path.find("Uninstaller"), std::string::npos) << path;
        EXPECT_EQ(path.find("osascript"), std::string::npos) << path;
        EXPECT_EQ(path.find("libSecurity"), std::string::npos) << path;
    }

    // The package owns its root, not /opt.
    EXPECT_EQ(entries.count("/opt"), 0u);
    EXPECT_EQ(entries.count(kRoot), 1u);

    // Outside the root only these, nothing of the platform's own.
    const std::vector<std::string> system = {
        kUnits + "/corvalink.service",
        kUnits + "/corvalink-web.service",
        kUnits + "/corvalink-camera.service",
        "/usr/bin/corvalink-service",
        "/usr/bin/corvalink-camera",
        "/usr/bin/corvalink-console",
        "/usr/bin/corvalink-view",
        "/usr/bin/corvalink-web",
        "/usr/bin/corvalink-ctl",
        "/usr/bin/corvalink-zelsim",
        "/usr/share/man/man1/corvalink-service.1.gz",
        "/usr/share/man/man1/corvalink-camera.1.gz",
        "/usr/share/man/man1/corvalink-console.1.gz",
        "/usr/share/man/man1/corvalink-view.1.gz",
        "/usr/share/man/man1/corvalink-web.1.gz",
        "/usr/share/man/man1/corvalink-ctl.1.gz",
        "/usr/share/man/man1/corvalink-zelsim.1.gz",
        CVL_PACKAGE_LIBDIR "/pkgconfig/corvalink.pc",
        CVL_PACKAGE_LIBDIR "/cmake/Corvalink/CorvalinkConfig.cmake",
        CVL_PACKAGE_LIBDIR "/cmake/Corvalink/CorvalinkConfigVersion.cmake",
        CVL_PACKAGE_LIBDIR "/gstreamer-1.0/libgstcvlsrc.so",
        "/usr/share/doc/corvalink/copyright",
        "/usr/share/doc/corvalink/changelog.gz",
        "/usr/share/doc/corvalink/README.Debian",
        "/usr/share/doc/corvalink/examples/camera.conf",
        "/usr/share/lintian/overrides/corvalink",
    };
    for (const std::string& file : system) {
        ASSERT_EQ(entries.count(file), 1u) << file;
        EXPECT_NE(entries.at(file)[0], 'd') << file;
    }
    for (const auto& [path, mode] : entries) {
        if (path.rfind(kRoot, 0) == 0 || mode[0] == 'd')
            continue;
        EXPECT_NE(std::find(system.begin(), system.end(), path), system.end()) << path;
    }

    // The root holds no second copy of what is in the system's folders: no
    // user unit, no man page.
    for (const auto& [path, mode] : entries) {
        if (path.rfind(kRoot, 0) != 0)
            continue;
        EXPECT_EQ(path.find("/systemd/"), std::string::npos) << path;
        EXPECT_EQ(path.find("/share/man"), std::string::npos) << path;
    }

    // In the root, besides the staged layout: the hosts, and the probe
    // stand-ins that the service's starter puts on its PATH.
    for (const char* program :
         {"cvl-camera", "cvl-view", "cvl-web", "cvl-ctl", "zelsim", "csrutil", "sw_vers"})
        EXPECT_EQ(entries.count(kRoot + "/usr/bin/" + program)
                      ? entries.at(kRoot + "/usr/bin/" + program)[3]
                      : '-',
                  'x')
            << program;
    // The run-time files the service writes as the user.
    const std::string resources =
        kRoot + "/Library/CoreMediaIO/Plug-Ins/DAL/Corvalink.plugin/Contents/Resources";
    for (const char* file : {"/log.txt", "/sbFrames/sbFrame0", "/sbFrames/sbFrame2"})
        EXPECT_EQ(entries.count(resources + file) ? entries.at(resources + file) : "", "-rw-rw----")
            << file;
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
    EXPECT_NE(fields["Maintainer"].find('@'), std::string::npos);
    EXPECT_EQ(fields["Description"].rfind("live video from a USB-tethered camera\n", 0), 0u)
        << fields["Description"];
    // Computed from what the programs link (dpkg-shlibdeps), with versions:
    // libgphoto2 for the camera SDK, libmicrohttpd for the browser viewer.
    for (const char* library : {"libc6 (>=", "libstdc++6 (>=", "libjpeg62-turbo (>=",
                                "libgphoto2-6 (>=", "libmicrohttpd12 (>=", "libgstreamer1.0-0 (>="})
        EXPECT_NE(fields["Depends"].find(library), std::string::npos) << library;
    // A release build without the uninstaller: no sanitizer, no GNUstep.
    for (const char* absent : {"libasan", "libubsan", "gnustep", "libobjc"})
        EXPECT_EQ(fields["Depends"].find(absent), std::string::npos) << absent;
}

TEST(DebianPackage, LintianFindsNothingThatIsNotOverridden) {
    ASSERT_TRUE(HaveProgram("lintian"));
    std::string output;
    EXPECT_EQ(RunCommand("lintian -I --fail-on error,warning,info " + ShellQuote(kPackage) +
                             " 2>/dev/null",
                         &output),
              0)
        << output;
    EXPECT_EQ(output, "");
    // It did look at the package: the overrides were used.
    RunCommand("lintian --show-overrides " + ShellQuote(kPackage) + " 2>/dev/null", &output);
    EXPECT_NE(output.find("O: corvalink: dir-or-file-in-opt [opt/corvalink/Applications/"),
              std::string::npos)
        << output;
    // Every override has its one-line reason.
    std::string overrides;
    ASSERT_TRUE(ReadFile(Extracted() + "/usr/share/lintian/overrides/corvalink", overrides));
    bool reason = false;
    for (const std::string& line : SplitLines(overrides)) {
        if (line.rfind("corvalink: ", 0) == 0) {
            EXPECT_TRUE(reason) << line;
        }
        reason = line.rfind("# ", 0) == 0;
    }
}

TEST(DebianPackage, InstallationMakesLibgphoto2TheCameraSdkAndTheSimulatorCanBeChosen) {
    InstalledRoot root;
    std::string output;
    ASSERT_TRUE(root.Install(output)) << output;
    const std::string query =
        "update-alternatives --root " + ShellQuote(root.Path()) + " --query corvalink-zelsdk";
    output.clear();
    ASSERT_EQ(RunCommand(query, &output), 0) << output;
    EXPECT_NE(output.find("\nStatus: auto\n"), std::string::npos) << output;
    EXPECT_NE(output.find("\nValue: " + kFramework + "/Versions/Gphoto2\n"), std::string::npos)
        << output;
    EXPECT_NE(output.find("\nAlternative: " + kFramework + "/Versions/Simulator\n"),
              std::string::npos)
        << output;
    char target[4096] = {};
    const std::string link = root.Path() + kFramework + "/Versions/A";
    ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0) << link;
    EXPECT_STREQ(target, "/etc/alternatives/corvalink-zelsdk");

    // postinst gave the run-time files to the group video, and the frame
    // folder to its members.
    struct stat folder {};
    const std::string frames = root.Path() + kRoot +
                               "/Library/CoreMediaIO/Plug-Ins/DAL/Corvalink.plugin/Contents/"
                               "Resources/sbFrames";
    ASSERT_EQ(stat(frames.c_str(), &folder), 0) << frames;
    EXPECT_EQ(folder.st_mode & 07777, 0770u);
    if (const group* video = getgrnam("video")) {
        EXPECT_EQ(folder.st_gid, video->gr_gid);
    }

    // The service loads the SDK through the link (its run path's
    // Versions/A): the libgphoto2 one with its helper beside it now, the
    // simulator after the documented command.
    if (!root.CanRunInPlace())
        GTEST_SKIP() << "no mount namespace to put the installation in place";
    const std::string service = kRoot + "/Applications/Corvalink/CVLService";
    const std::string loaded = "readlink -f \"$(ldd " + service +
                               " | sed -n 's|.*=> \\(.*/ZelSDK.framework/Versions/A/"
                               "libZelSDK.so\\) .*|\\1|p')\"";
    ASSERT_EQ(root.RunInPlace(loaded, output), 0) << output;
    EXPECT_EQ(output, kFramework + "/Versions/Gphoto2/libZelSDK.so\n");
    ASSERT_EQ(
        root.RunInPlace("test -x " + kFramework + "/Versions/A/zelsdk-gphoto2-helper", output), 0);
    output.clear();
    ASSERT_EQ(RunCommand("update-alternatives --root " + ShellQuote(root.Path()) +
                             " --set corvalink-zelsdk " + kFramework + "/Versions/Simulator 2>&1",
                         &output),
              0)
        << output;
    ASSERT_EQ(root.RunInPlace(loaded, output), 0) << output;
    EXPECT_EQ(output, kFramework + "/Versions/Simulator/libZelSDK.so\n");
}

TEST(DebianPackage, EveryProgramOnThePathAnswersHelpAndHasItsManPage) {
    INSTALL_IN_PLACE(root);
    std::set<std::string> programs;
    for (const auto& [path, mode] : PackageEntries())
        if (path.rfind("/usr/bin/", 0) == 0)
            programs.insert(path.substr(9));
    ASSERT_GE(programs.size(), 6u);
    for (const std::string& program : programs) {
        EXPECT_EQ(program.rfind("corvalink-", 0), 0u) << program;
        std::string output;
        EXPECT_EQ(root.RunInPlace(program + " --help", output), 0) << program << ": " << output;
        // "usage:" or "Usage:", naming the command on PATH, not the
        // program of the root that its starter runs.
        const size_t usage = output.find("sage: " + program);
        ASSERT_NE(usage, std::string::npos) << program << ": " << output;
        const size_t after = usage + 6 + program.size();
        EXPECT_TRUE(after < output.size() && (output[after] == ' ' || output[after] == '\n'))
            << program << ": " << output;
        // Its man page, which man renders without a warning.
        const std::string page = root.Path() + "/usr/share/man/man1/" + program + ".1.gz";
        ASSERT_TRUE(FileExists(page)) << page;
        std::string rendered;
        EXPECT_EQ(RunCommand("LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l " + ShellQuote(page) +
                                 " 2>&1 >/dev/null",
                             &rendered),
                  0);
        EXPECT_EQ(rendered, "") << page;
    }
    // Programs that take no arguments say so instead of starting.
    std::string output;
    EXPECT_EQ(root.RunInPlace("corvalink-console --verbose", output), 2) << output;
    EXPECT_EQ(root.RunInPlace("corvalink-service extra", output), 2) << output;
}

TEST(DebianPackage, UserUnitsPassSystemdAnalyzeVerify) {
    INSTALL_IN_PLACE(root);
    std::string service, web;
    ASSERT_TRUE(ReadFile(root.Path() + kUnits + "/corvalink.service", service));
    ASSERT_TRUE(ReadFile(root.Path() + kUnits + "/corvalink-web.service", web));
    const std::vector<std::string> lines = SplitLines(service);
    // The service comes back after "Close" (exit status 0) as after a
    // crash, and stops with SIGTERM, which it handles.
    for (const std::string expected : {"ExecStart=/usr/bin/corvalink-service", "Restart=always",
                                       "KillSignal=SIGTERM", "WantedBy=default.target"})
        EXPECT_NE(std::find(lines.begin(), lines.end(), expected), lines.end()) << expected;
    // The viewer serves the loopback only.
    EXPECT_NE(web.find("\nExecStart=/usr/bin/corvalink-web --listen 127.0.0.1:8080\n"),
              std::string::npos)
        << web;
    // The service and the desktop camera are enabled for every user.
    for (const std::string unit : {"corvalink.service", "corvalink-camera.service"}) {
        char target[4096] = {};
        const std::string enabled = root.Path() + "/etc/systemd/user/default.target.wants/" + unit;
        ASSERT_GT(readlink(enabled.c_str(), target, sizeof target - 1), 0) << enabled;
        EXPECT_EQ(target, kUnits + "/" + unit);
    }

    if (!HaveProgram("systemd-analyze"))
        GTEST_SKIP() << "systemd-analyze is not installed";
    std::string units;
    RunCommand("ls " + ShellQuote(root.Path() + kUnits), &units);
    ASSERT_EQ(SplitLines(units).size(), 3u) << units;
    // As user units, the way a user manager loads them. --user needs a
    // runtime folder (the test's own); the configuration folder is an empty
    // one, so that nothing of this machine's user settings comes in.
    const std::string user = "XDG_RUNTIME_DIR=" + ShellQuote(RuntimeFolder()) +
                             " XDG_CONFIG_HOME=" + ShellQuote(MakeFolder("user-config")) + " ";
    for (const std::string& unit : SplitLines(units)) {
        // verify checks that ExecStart exists, at its real path.
        std::string output;
        EXPECT_EQ(root.RunInPlace(user + "systemd-analyze --user verify " +
                                      ShellQuote(root.Path() + kUnits + "/" + unit),
                                  output),
                  0)
            << unit << ": " << output;
        EXPECT_EQ(output, "") << unit;
    }
}

// What an administrator disabled for every user stays disabled through an
// upgrade (the package installed again: prerm upgrade, postinst configure),
// as systemctl reads the links; postinst starts in the running sessions
// only what systemctl still calls enabled.
TEST(DebianPackage, AUnitDisabledForEveryUserStaysDisabledThroughAnUpgrade) {
    if (!HaveProgram("systemctl") || !HaveProgram("deb-systemd-helper"))
        GTEST_SKIP() << "systemctl or deb-systemd-helper is not installed";
    InstalledRoot root;
    std::string output;
    ASSERT_TRUE(root.Install(output)) << output;
    const std::string systemctl = "systemctl --root=" + ShellQuote(root.Path()) + " --global ";
    for (const char* unit : {"corvalink.service", "corvalink-camera.service"})
        EXPECT_EQ(RunCommand(systemctl + "is-enabled --quiet " + unit), 0) << unit;
    EXPECT_NE(RunCommand(systemctl + "is-enabled --quiet corvalink-web.service"), 0);

    ASSERT_EQ(RunCommand(systemctl + "disable corvalink-camera.service 2>&1", &output), 0)
        << output;
    ASSERT_TRUE(root.Install(output)) << output;
    EXPECT_NE(RunCommand(systemctl + "is-enabled --quiet corvalink-camera.service"), 0);
    EXPECT_EQ(RunCommand(systemctl + "is-enabled --quiet corvalink.service"), 0);
    EXPECT_FALSE(FileExists(root.Path() +
                            "/etc/systemd/user/default.target.wants/corvalink-camera.service"));
}

TEST(DebianPackage, DevelopersFindTheClientLibraryFromTheSystemPlaces) {
    INSTALL_IN_PLACE(root);
    const std::string host = SourceDir() + "/docs/example-host";
    const std::string build = MakeFolder("host-build");
    const std::string libdir = root.Path() + CVL_PACKAGE_LIBDIR;
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
    ASSERT_EQ(root.RunInPlace(script, output), 0) << output;
    std::string flags, errorFrame;
    ReadFile(build + "/flags", flags);
    EXPECT_NE(flags.find("-I" + kRoot + "/usr/include"), std::string::npos) << flags;
    EXPECT_NE(flags.find("-Wl,-rpath," + kRoot + "/usr/lib"), std::string::npos) << flags;
    ASSERT_TRUE(ReadFile(root.Path() + kRoot +
                             "/Library/CoreMediaIO/Plug-Ins/DAL/Corvalink.plugin/Contents/"
                             "Resources/error.jpg",
                         errorFrame));
    const std::string line = "frame 1: " + std::to_string(errorFrame.size()) + " bytes\n";
    EXPECT_EQ(output, line + "sandbox mode: off\n" + line + "sandbox mode: off\n");
}

// GStreamer finds the packaged element in its system plug-in folder, with no
// GST_PLUGIN_PATH, and the element finds the client library in the root.
TEST(DebianPackage, GStreamerFindsTheElementWithoutAPluginPath) {
    ASSERT_TRUE(HaveProgram("gst-inspect-1.0"));
    INSTALL_IN_PLACE(root);
    const std::string registry = MakeFolder("gst") + "/registry.bin";
    // The throw-away root stands in for the system's folder: GStreamer's
    // system path is pointed there, as /usr/lib would be on an installation.
    const std::string script = "unset GST_PLUGIN_PATH; GST_REGISTRY=" + ShellQuote(registry) +
                               " GST_PLUGIN_SYSTEM_PATH_1_0=" +
                               ShellQuote(root.Path() + CVL_PACKAGE_LIBDIR "/gstreamer-1.0") +
                               " gst-inspect-1.0 cvlsrc";
    std::string output;
    ASSERT_EQ(root.RunInPlace(script, output), 0) << output;
    EXPECT_NE(output.find("Factory Details:"), std::string::npos) << output;
    EXPECT_NE(output.find("start-sandbox"), std::string::npos) << output;
}

} // namespace
} // namespace cvl::test
