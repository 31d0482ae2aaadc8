// Backend initialisation: version code, I/O-mode answers, host detection by
// executable name, translation, and the log switch's safety.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "common/debugtool.h"
#include "core/scan/sane_entry_points.h"
#include "core/scan/sane_globals.h"
#include "tests/support/host_probe.h"
#include "tests/support/process.h"

namespace {

TEST(BackendEntry, InitReportsVersionAndAcceptsNull) {
    SANE_Int version = 0;
    EXPECT_EQ(sane_orvela_init(&version, nullptr), SANE_STATUS_GOOD);
    EXPECT_EQ(version, 0x01030001);
    EXPECT_EQ(sane_orvela_init(nullptr, nullptr), SANE_STATUS_GOOD);
    EXPECT_STREQ(gApplicationName, "test_sane_entry");
    EXPECT_FALSE(gIsSimpleScanApp);
    EXPECT_STREQ(mode_list[0], "Color");
    EXPECT_STREQ(mode_list[2], "Black & White");
    EXPECT_EQ(mode_list[3], nullptr);
    EXPECT_STREQ(source_list[1], "Automatic Document Feeder");
    EXPECT_STREQ(paperSize_list[6], "Custom");
    EXPECT_EQ(paperSize_list[7], nullptr);
    sane_orvela_exit();
    EXPECT_EQ(source_list[0], nullptr);  // exit releases the lists
}

TEST(BackendEntry, IoModeAndSelectFdAreUnsupported) {
    EXPECT_EQ(sane_orvela_set_io_mode(nullptr, SANE_FALSE), SANE_STATUS_UNSUPPORTED);
    EXPECT_EQ(sane_orvela_set_io_mode(nullptr, SANE_TRUE), SANE_STATUS_UNSUPPORTED);
    SANE_Int fd = 1234;
    EXPECT_EQ(sane_orvela_get_select_fd(nullptr, &fd), SANE_STATUS_UNSUPPORTED);
    EXPECT_EQ(fd, 1234);
}

TEST(BackendEntry, TranslatesNullToEmpty) { EXPECT_STREQ(TL(nullptr), ""); }

// --- host detection: the probe program copied under other names ---

// A German catalogue for a few of the list texts, made for this test.
std::string make_catalogue(const TempDir& dir) {
    const std::string po = dir.file("de.po");
    FILE* f = fopen(po.c_str(), "w");
    fputs("msgid \"\"\nmsgstr \"Content-Type: text/plain; charset=UTF-8\\n\"\n\n"
          "msgid \"Color\"\nmsgstr \"Farbe\"\n\n"
          "msgid \"Flatbed\"\nmsgstr \"Flachbett\"\n\n"
          "msgid \"Automatic Document Feeder\"\nmsgstr \"Vorlageneinzug\"\n\n"
          "msgid \"ADF\"\nmsgstr \"ADF-de\"\n\n"
          "msgid \"Full Size\"\nmsgstr \"Volle Gr\xC3\xB6\xC3\x9F" "e\"\n",
          f);
    fclose(f);
    const std::string root = dir.file("locale");
    std::filesystem::create_directories(root + "/de/LC_MESSAGES");
    const ProcessResult r =
        run_process({"/usr/bin/msgfmt", "-o", root + "/de/LC_MESSAGES/sane_orvela_drv.mo", po});
    EXPECT_EQ(r.exit_code, 0) << r.out;
    return root;
}

const std::vector<std::string> kGerman = {"LANG=C.UTF-8", "LC_ALL=C.UTF-8", "LANGUAGE=de"};

TEST(HostDetection, SimpleScanStyleHosts) {
    TempDir dir;
    const std::string catalogue = make_catalogue(dir);
    for (const char* name : {"simple-scan", "simple-scan-42", "wps", "wpsoffice-x"}) {
        HostFacts f = probe_host(dir, name, kGerman, catalogue);
        EXPECT_EQ(f["simple"], "1") << name;
        EXPECT_EQ(f["name"], name);
        // Source and mode names stay English for these hosts.
        EXPECT_EQ(f["source[0]"], "Flatbed") << name;
        EXPECT_EQ(f["mode[0]"], "Color") << name;
        EXPECT_EQ(f["source[1]"], "Automatic Document Feeder") << name;
    }
    HostFacts simple = probe_host(dir, "simple-scan", kGerman, catalogue);
    EXPECT_EQ(simple["init"], "0");
    EXPECT_EQ(simple["version"], "0x01030001");
    EXPECT_EQ(simple["paper[0]"], "Volle Größe");  // other texts are still translated
    for (const char* name : {"xsimple-scan", "simple-sca", "Simple-scan", "awps"}) {
        HostFacts f = probe_host(dir, name, kGerman, catalogue);
        EXPECT_EQ(f["simple"], "0") << name;
        EXPECT_EQ(f["source[0]"], "Flachbett") << name;
    }
}

TEST(HostDetection, EnglishOnlyHosts) {
    TempDir dir;
    const std::string catalogue = make_catalogue(dir);
    HostFacts efile = probe_host(dir, "EFileApp", kGerman, catalogue);
    EXPECT_EQ(efile["TL(Color)"], "Color");
    EXPECT_EQ(efile["source[0]"], "Flatbed");
    EXPECT_EQ(efile["source[1]"], "ADF");
    EXPECT_EQ(efile["simple"], "0");

    HostFacts efile_x = probe_host(dir, "EFileAppX", kGerman, catalogue);  // exact match only
    EXPECT_EQ(efile_x["TL(Color)"], "Farbe");
    EXPECT_EQ(efile_x["source[1]"], "Vorlageneinzug");

    HostFacts office = probe_host(dir, "libreoffice", kGerman, catalogue);
    EXPECT_EQ(office["TL(Color)"], "Color");
    EXPECT_EQ(office["source[1]"], "Automatic Document Feeder");
    EXPECT_EQ(office["TL(null)"], "<null>");  // English-only hosts get their text back unchanged

    HostFacts plain = probe_host(dir, "scanhost", kGerman, catalogue);
    EXPECT_EQ(plain["TL(Color)"], "Farbe");
    EXPECT_EQ(plain["TL(null)"], "<empty>");
    EXPECT_EQ(plain["paper[1]"], "A4 (210 x 297 mm)");  // no translation in the catalogue: unchanged
}

TEST(HostDetection, ExportedTestEntryInitialises) {
    TempDir dir;
    const std::string exe = dir.file("simple-scan");
    std::filesystem::copy_file(ORVELA_BINARY_DIR "/tests/host/host_probe", exe);
    const ProcessResult r = run_process({exe, ORVELA_LIBRARY_PATH, "--main"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "Enter in SANE test!\nmain=0\n");
}

// --- the log switch: a private /tmp in a private mount namespace ---

// Runs `body` in a child process with its own /tmp; returns its exit code, or
// -1 when no private mount namespace can be made here.
int in_private_tmp(const std::function<int()>& body) {
    const pid_t pid = fork();
    if (pid == 0) {
        if (unshare(CLONE_NEWNS) != 0) _exit(200);
        if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) _exit(200);
        if (mount("tmpfs", "/tmp", "tmpfs", 0, "size=4m") != 0) _exit(200);
        _exit(body());
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) == 200) return -1;
    return WEXITSTATUS(status);
}

constexpr const char* kMarker = "/tmp/orvela_sane";

int init_and_check_log(bool expect_log) {
    g_err_file = g_warn_file = g_info_file = nullptr;
    debug_file = nullptr;
    if (sane_orvela_init(nullptr, nullptr) != SANE_STATUS_GOOD) return 1;
    if ((debug_file != nullptr) != expect_log) return 2;
    return 0;
}

TEST(LogSwitch, MarkerFileOfOurOwnTurnsTheLogOn) {
    const int rc = in_private_tmp([] {
        FILE* f = fopen(kMarker, "w");
        fputs("old contents\n", f);
        fclose(f);
        if (int r = init_and_check_log(true)) return r;
        fflush(debug_file);
        const std::string log = read_file(kMarker);
        if (log.find("old contents") != std::string::npos) return 3;  // truncated
        if (log.rfind("INFO: File[ ", 0) != 0) return 4;
        if (log.find("Run into sane_init\n") == std::string::npos) return 5;
        if (log.find("***Orvela SANE Driver***\n") == std::string::npos) return 6;
        if (fcntl(fileno(debug_file), F_GETFD) != FD_CLOEXEC) return 7;
        return 0;
    });
    if (rc == -1) GTEST_SKIP() << "needs a private mount namespace (root)";
    EXPECT_EQ(rc, 0);
}

TEST(LogSwitch, NoMarkerNoLog) {
    const int rc = in_private_tmp([] { return init_and_check_log(false); });
    if (rc == -1) GTEST_SKIP() << "needs a private mount namespace (root)";
    EXPECT_EQ(rc, 0);
}

TEST(LogSwitch, LinkedMarkerNeverTouchesItsTarget) {
    const int rc = in_private_tmp([] {
        FILE* f = fopen("/tmp/victim", "w");
        fputs("precious\n", f);
        fclose(f);
        if (symlink("/tmp/victim", kMarker) != 0) return 10;
        if (int r = init_and_check_log(false)) return r;
        if (read_file("/tmp/victim") != "precious\n") return 11;
        // A dangling link is present too, and creates nothing.
        unlink("/tmp/victim");
        if (int r = init_and_check_log(false)) return r;
        struct stat st;
        if (lstat("/tmp/victim", &st) == 0) return 12;
        return 0;
    });
    if (rc == -1) GTEST_SKIP() << "needs a private mount namespace (root)";
    EXPECT_EQ(rc, 0);
}

TEST(LogSwitch, MarkerOwnedByAnotherUserIsLeftAlone) {
    const int rc = in_private_tmp([] {
        FILE* f = fopen(kMarker, "w");
        fputs("theirs\n", f);
        fclose(f);
        if (chown(kMarker, 65534, 65534) != 0) return 20;  // nobody
        if (int r = init_and_check_log(false)) return r;
        if (read_file(kMarker) != "theirs\n") return 21;
        mkdir("/tmp/dir", 0700);  // a directory as marker: no log either
        unlink(kMarker);
        rename("/tmp/dir", kMarker);
        return init_and_check_log(false);
    });
    if (rc == -1) GTEST_SKIP() << "needs a private mount namespace (root)";
    EXPECT_EQ(rc, 0);
}

}  // namespace
