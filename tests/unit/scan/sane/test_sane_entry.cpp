// Backend initialisation: version code, I/O-mode answers, host detection by
// executable name, translation, and the log switch's safety.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "common/debugtool.h"
#include "core/scan/sane/sane_entry_points.h"
#include "core/scan/page/page_file.h"
#include "core/scan/sane/sane_entry.h"
#include "core/scan/sane/sane_host.h"
#include "core/scan/sane/sane_name_lists.h"
#include "tests/support/host_probe.h"
#include "tests/support/namespaces.h"
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

// In German, with the built catalogues.
const std::vector<std::string> kGerman = message_locale_env("de");
const std::string kCatalogues = ORVELA_BINARY_DIR "/locale";

TEST(HostDetection, SimpleScanStyleHosts) {
    TempDir dir;
    for (const char* name : {"simple-scan", "simple-scan-42", "wps", "wpsoffice-x"}) {
        HostFacts f = probe_host(dir, name, kGerman, kCatalogues);
        EXPECT_EQ(f["init"], "0") << name;
        EXPECT_EQ(f["version"], "0x01030001") << name;
        EXPECT_EQ(f["simple"], "1") << name;
        EXPECT_EQ(f["name"], name);
        // Source and mode names stay English for these hosts; other texts
        // are translated, except for an office program.
        EXPECT_EQ(f["source[0]"], "Flatbed") << name;
        EXPECT_EQ(f["source[1]"], "Automatic Document Feeder") << name;
        EXPECT_EQ(f["mode[0]"], "Color") << name;
        EXPECT_EQ(f["mode[2]"], "Black & White") << name;
        EXPECT_EQ(f["paper[0]"], strstr(name, "office") ? "Full Size" : "Volle Größe") << name;
    }
    for (const char* name : {"xsimple-scan", "simple-sca", "Simple-scan", "awps"}) {
        HostFacts f = probe_host(dir, name, kGerman, kCatalogues);
        EXPECT_EQ(f["simple"], "0") << name;
        EXPECT_EQ(f["source[0]"], "Flachbett") << name;
    }
}

TEST(HostDetection, EnglishOnlyHosts) {
    TempDir dir;
    HostFacts efile = probe_host(dir, "EFileApp", kGerman, kCatalogues);
    EXPECT_EQ(efile["TL(Color)"], "Color");
    EXPECT_EQ(efile["source[0]"], "Flatbed");
    EXPECT_EQ(efile["source[1]"], "ADF");
    EXPECT_EQ(efile["paper[0]"], "Full Size");
    EXPECT_EQ(efile["simple"], "0");

    HostFacts efile_x = probe_host(dir, "EFileAppX", kGerman, kCatalogues);  // exact match only
    EXPECT_EQ(efile_x["TL(Color)"], "Farbe");
    EXPECT_EQ(efile_x["source[1]"], "Automatischer Dokumenteneinzug");

    for (const char* name : {"libreoffice", "localc-office", "soffice.bin"}) {
        HostFacts office = probe_host(dir, name, kGerman, kCatalogues);
        EXPECT_EQ(office["TL(Color)"], "Color") << name;
        EXPECT_EQ(office["mode[0]"], "Color") << name;
        EXPECT_EQ(office["source[1]"], "Automatic Document Feeder") << name;
        EXPECT_EQ(office["TL(null)"], "<null>") << name;  // English-only hosts get their text back unchanged
    }

    HostFacts plain = probe_host(dir, "scanhost", kGerman, kCatalogues);
    EXPECT_EQ(plain["TL(Color)"], "Farbe");
    EXPECT_EQ(plain["TL(null)"], "<empty>");
    EXPECT_EQ(plain["paper[0]"], "Volle Größe");
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

constexpr const char* kMarker = "/tmp/orvela_sane";

int init_and_check_log(bool expect_log) {
    g_err_file = g_warn_file = g_info_file = nullptr;
    debug_file = nullptr;
    if (sane_orvela_init(nullptr, nullptr) != SANE_STATUS_GOOD) return 1;
    if ((debug_file != nullptr) != expect_log) return 2;
    return 0;
}

TEST(LogSwitch, MarkerFileOfOurOwnTurnsTheLogOn) {
    expect_in_private_tmp([] {
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
}

TEST(LogSwitch, NoMarkerNoLog) {
    expect_in_private_tmp([] { return init_and_check_log(false); });
}

TEST(LogSwitch, LinkedMarkerNeverTouchesItsTarget) {
    expect_in_private_tmp([] {
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
}

TEST(LogSwitch, MarkerOwnedByAnotherUserIsLeftAlone) {
    expect_in_private_tmp([] {
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
}

}  // namespace
