// What `cmake --install` puts on a system: the file layout under the prefix
// /usr, the udev hardware-database file generated from the model table (and
// that udev's own compiler accepts it and matches real USB modaliases), and
// the dll.d entry.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <set>
#include <sstream>
#include <string>

#include "common/scanner_description.h"
#include "tests/support/process.h"

namespace {

namespace fs = std::filesystem;

const std::string kHwdb = ORVELA_BINARY_DIR "/udev/20-sane-orvela.hwdb";

std::string usb_match(int vendor, int product) {
    char buf[32];
    snprintf(buf, sizeof buf, "usb:v%04Xp%04X*", vendor, product);
    return buf;
}

// A real device modalias as the kernel writes it (upper-case hex digits).
std::string usb_modalias(int vendor, int product) {
    char buf[96];
    snprintf(buf, sizeof buf, "usb:v%04Xp%04Xd0100dc00dsc00dp00ic07isc01ip02in00", vendor, product);
    return buf;
}

TEST(Hwdb, EveryModelRowAndNothingElse) {
    ASSERT_TRUE(fs::exists(kHwdb)) << "build the orvela_hwdb target first";
    const std::string text = read_file(kHwdb);

    std::set<std::string> rows;
    for (int i = 0; i < 48; ++i) {
        const Scanner_Description& row = scanner_description_list[i];
        const std::string match = usb_match(row.vendorID, row.productID);
        rows.insert(match);
        // Each match line is followed by the property the SANE udev rules test.
        EXPECT_NE(text.find("\n" + match + "\n libsane_matched=yes\n"), std::string::npos) << row.modelName;
    }
    EXPECT_EQ(rows.size(), 48u);

    // Every match line in the file belongs to a model row; the printer-only
    // vendor ID is not marked.
    size_t matches = 0;
    for (size_t pos = text.find("\nusb:"); pos != std::string::npos; pos = text.find("\nusb:", pos + 1)) {
        const std::string line = text.substr(pos + 1, text.find('\n', pos + 1) - pos - 1);
        EXPECT_TRUE(rows.count(line)) << line;
        ++matches;
    }
    EXPECT_EQ(matches, 48u);
    EXPECT_EQ(text.find("v5E5C"), std::string::npos);
    EXPECT_EQ(text.find("libsane_matched=yes", text.rfind("libsane_matched=yes") + 1), std::string::npos);
    EXPECT_EQ(text.back(), '\n');
}

TEST(Hwdb, UdevCompilesAndMatchesDeviceModaliases) {
    if (!fs::exists("/usr/bin/systemd-hwdb")) GTEST_SKIP() << "systemd-hwdb not installed";
    TempDir root;
    fs::create_directories(root.file("etc/udev/hwdb.d"));
    fs::copy_file(kHwdb, root.file("etc/udev/hwdb.d/20-sane-orvela.hwdb"));
    ProcessResult r = run_process({"/usr/bin/systemd-hwdb", "--strict", "--root=" + root.path(), "update"});
    ASSERT_EQ(r.exit_code, 0) << r.out;

    auto query = [&](int vendor, int product) {
        return run_process({"/usr/bin/systemd-hwdb", "--root=" + root.path(), "query", usb_modalias(vendor, product)})
            .out;
    };
    for (int i = 0; i < 48; ++i) {
        const Scanner_Description& row = scanner_description_list[i];
        EXPECT_EQ(query(row.vendorID, row.productID), "libsane_matched=yes\n") << row.modelName;
    }
    // Unknown products of the maker, the printer-only vendor and a model's
    // product ID under the other vendor ID stay unmarked.
    EXPECT_EQ(query(0x5E5A, 0x0001), "");
    EXPECT_EQ(query(0x5E5A, 0x1100), "");
    EXPECT_EQ(query(0x5E5C, 0x1001), "");
    EXPECT_EQ(query(0x5E5B, 0x1001), "");
}

// Everything lands where SANE and Debian look, with nothing else beside it.
TEST(InstallRules, SystemLayoutUnderPrefixUsr) {
    const std::string cache = read_file(ORVELA_BINARY_DIR "/CMakeCache.txt");
    if (cache.find("\nCMAKE_INSTALL_PREFIX:PATH=/usr\n") == std::string::npos) {
        GTEST_SKIP() << "this build is configured for another prefix than /usr";
    }
    TempDir dest;
    const ProcessResult r =
        run_process({"/usr/bin/cmake", "--install", ORVELA_BINARY_DIR, "--prefix", "/usr"}, {"DESTDIR=" + dest.path()});
    ASSERT_EQ(r.exit_code, 0) << r.out;

    std::set<std::string> files;
    for (const auto& e : fs::recursive_directory_iterator(dest.path())) {
        if (!e.is_directory()) files.insert(e.path().string().substr(dest.path().size()));
    }
    // The backend directory is the one of the installed libsane of the
    // build's own architecture (also in a cross build) when there is one.
    std::string backend_dir = "/usr/lib/" ORVELA_MULTIARCH "/sane";
    const ProcessResult pc = run_process({"/usr/bin/pkg-config", "--variable=libdir", "sane-backends"},
                                         {"PKG_CONFIG_LIBDIR=/usr/lib/" ORVELA_MULTIARCH "/pkgconfig"});
    if (pc.exit_code == 0 && !pc.out.empty()) backend_dir = pc.out.substr(0, pc.out.find('\n')) + "/sane";
    // The hwdb file goes where udev's pkg-config file says (Debian 12:
    // /lib/udev), else below the prefix (Debian 13 has the file only in
    // systemd-dev).
    std::string hwdb = "/usr/lib/udev/hwdb.d/20-sane-orvela.hwdb";
    const ProcessResult udev = run_process({"/usr/bin/pkg-config", "--variable=udevdir", "udev"});
    if (udev.exit_code == 0 && !udev.out.empty()) hwdb = udev.out.substr(0, udev.out.find('\n')) + "/hwdb.d/20-sane-orvela.hwdb";

    const std::set<std::string> expected = {
        backend_dir + "/libsane-orvela.so.1",
        backend_dir + "/libsane-orvela.so.1.0.0",
        "/etc/sane.d/dll.d/orvela",
        "/etc/sane.d/orvela.conf",
        hwdb,
        "/usr/share/man/man5/sane-orvela.5.gz",
        "/usr/share/man/man1/orvela-discover.1.gz",
        "/usr/bin/orvela-discover",
        "/usr/share/locale/de/LC_MESSAGES/sane_orvela_drv.mo",
        "/usr/share/locale/fr/LC_MESSAGES/sane_orvela_drv.mo",
        "/usr/share/doc/libsane-orvela/copyright",
        "/usr/share/doc/libsane-orvela/changelog.gz",
    };
    EXPECT_EQ(files, expected);

    EXPECT_TRUE(fs::is_symlink(dest.path() + backend_dir + "/libsane-orvela.so.1"));
    EXPECT_EQ(fs::read_symlink(dest.path() + backend_dir + "/libsane-orvela.so.1"), "libsane-orvela.so.1.0.0");
    EXPECT_EQ(read_file(dest.path() + "/etc/sane.d/dll.d/orvela"), "orvela\n");
    // As installed, the configuration file sets nothing: every line is blank or a comment.
    std::istringstream conf(read_file(dest.path() + "/etc/sane.d/orvela.conf"));
    for (std::string line; std::getline(conf, line);) EXPECT_TRUE(line.empty() || line[0] == '#') << line;
    EXPECT_EQ(read_file(dest.path() + hwdb), read_file(kHwdb));

    // The manual page is the compressed source page.
    const ProcessResult man = run_process({"/bin/gzip", "-dc", dest.path() + "/usr/share/man/man5/sane-orvela.5.gz"});
    ASSERT_EQ(man.exit_code, 0);
    EXPECT_NE(man.out.find(".TH sane\\-orvela 5"), std::string::npos);
    EXPECT_NE(man.out.find("/tmp/orvela_sane"), std::string::npos);

    // The installed library exports the SANE entry points under the backend name.
    const ProcessResult nm = run_process({"/usr/bin/nm", "-D", "--defined-only", dest.path() + backend_dir +
                                                                                    "/libsane-orvela.so.1.0.0"});
    ASSERT_EQ(nm.exit_code, 0) << nm.out;
    EXPECT_NE(nm.out.find(" T sane_orvela_init\n"), std::string::npos);
    EXPECT_NE(nm.out.find(" T sane_orvela_get_devices\n"), std::string::npos);
}

}  // namespace
