// orvela.conf: where it is looked for, what each line does, and that a line
// the backend cannot use is a warning with its file and line, never a failure.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "common/debugtool.h"
#include "common/orvela_config.h"
#include "core/scan/sane/sane_entry_points.h"
#include "tests/support/io_hooks.h"
#include "tests/support/process.h"

namespace {

using orvela_config::Settings;
using Dirs = std::vector<std::string>;

TEST(ConfigFile, SearchDirectoriesFollowSaneConfigDir) {
    EXPECT_EQ(orvela_config::search_directories(nullptr), Dirs{"/etc/sane.d"});
    EXPECT_EQ(orvela_config::search_directories("/a"), Dirs{"/a"});
    EXPECT_EQ(orvela_config::search_directories("/a:/b"), (Dirs{"/a", "/b"}));
    EXPECT_EQ(orvela_config::search_directories("/a:"), (Dirs{"/a", "/etc/sane.d"}));
    EXPECT_EQ(orvela_config::search_directories("/a::/b"), (Dirs{"/a", "/b"}));
    EXPECT_EQ(orvela_config::search_directories(""), Dirs{});
}

// Reads the warnings that parsing writes.
std::string parse_warnings(const std::string& text, Settings* out) {
    LogCapture log(LogCapture::Streams::WarningsAndErrors);
    *out = orvela_config::parse(text, "/etc/sane.d/orvela.conf");
    return log.text();
}

TEST(ConfigFile, EachSettingAndItsDefault) {
    Settings s;
    EXPECT_EQ(parse_warnings("", &s), "");
    EXPECT_FALSE(s.scan_streaming);
    EXPECT_TRUE(s.discovery_broadcast);
    EXPECT_EQ(s.discovery_wait_seconds, 5);
    EXPECT_TRUE(s.usb_search);
    EXPECT_TRUE(s.socket_addresses.empty());
    EXPECT_EQ(s.trace_directory, "");

    EXPECT_EQ(parse_warnings("# a comment\n\n   \n  socket://10.0.0.5  \nsocket://scanner-2.lab.example\n"
                             "socket://10.0.0.5\ndiscovery broadcast off\ndiscovery  wait 30\nusb off\n"
                             "scan streaming on\ntrace /var/tmp/old\n  trace   /var/tmp/orvela traces\n",
                             &s),
              "");
    EXPECT_EQ(s.trace_directory, "/var/tmp/orvela traces");
    EXPECT_EQ(s.socket_addresses, (Dirs{"10.0.0.5", "scanner-2.lab.example"}));
    EXPECT_FALSE(s.discovery_broadcast);
    EXPECT_EQ(s.discovery_wait_seconds, 30);
    EXPECT_FALSE(s.usb_search);
    EXPECT_TRUE(s.scan_streaming);
    EXPECT_TRUE(s.socket_models.empty());

    // A model on the line, spaced as any line; the same address listed again
    // without it keeps it.
    EXPECT_EQ(parse_warnings("socket://10.0.0.5\n\t socket://scanner-2.lab.example \t OR-M2270fdw \n"
                             "socket://scanner-2.lab.example\nsocket://10.0.0.5 OR-M1020\n",
                             &s),
              "");
    EXPECT_EQ(s.socket_addresses, (Dirs{"10.0.0.5", "scanner-2.lab.example"}));
    EXPECT_EQ(s.socket_models, (std::map<std::string, std::string>{{"10.0.0.5", "OR-M1020"},
                                                                   {"scanner-2.lab.example", "OR-M2270fdw"}}));
}

TEST(ConfigFile, UnusableLinesAreWarnedAboutAndSkipped) {
    const struct {
        const char* line;
        const char* warning;
    } cases[] = {
        {"discovery wait 0", "\"discovery wait\" takes a whole number of seconds from 1 to 30"},
        {"discovery wait 31", "\"discovery wait\" takes a whole number of seconds from 1 to 30"},
        {"discovery wait 5s", "\"discovery wait\" takes a whole number of seconds from 1 to 30"},
        {"socket://", "\"\" is neither an IPv4 address nor a host name"},
        {"socket://10.0.0.300", "\"10.0.0.300\" is neither an IPv4 address nor a host name"},
        {"socket://bad_name", "\"bad_name\" is neither an IPv4 address nor a host name"},
        {"socket://-lead.example", "\"-lead.example\" is neither an IPv4 address nor a host name"},
        {"socket://10.0.0.5 OR-M9999", "\"OR-M9999\" is no model name that this backend knows"},
        {"socket://10.0.0.5 or-m2270fdw", "\"or-m2270fdw\" is no model name that this backend knows"},
        {"socket://10.0.0.5 OR-M2270", "\"OR-M2270\" is no model name that this backend knows"},
        {"socket://10.0.0.5 OR-M1020 x", "unknown setting \"socket://10.0.0.5 OR-M1020 x\""},
        {"usb maybe", "\"usb\" takes on or off"},
        {"scan streaming yes", "\"scan streaming\" takes on or off"},
        {"discovery broadcast", "unknown setting \"discovery broadcast\""},
        {"colour always", "unknown setting \"colour always\""},
        {"trace", "\"trace\" takes an absolute directory"},
        {"trace traces", "\"trace\" takes an absolute directory"},
    };
    for (const auto& c : cases) {
        Settings s;
        const std::string log = parse_warnings(std::string("usb off\n") + c.line + "\nscan streaming on\n", &s);
        EXPECT_NE(log.find("WARN: "), std::string::npos) << c.line;
        EXPECT_NE(log.find(std::string("/etc/sane.d/orvela.conf:2: ") + c.warning + "; line ignored\n"),
                  std::string::npos)
            << log;
        // The lines around it still count; the bad one changed nothing.
        EXPECT_FALSE(s.usb_search);
        EXPECT_TRUE(s.scan_streaming);
        EXPECT_EQ(s.discovery_wait_seconds, 5);
        EXPECT_TRUE(s.socket_addresses.empty());
        EXPECT_TRUE(s.socket_models.empty());
        EXPECT_EQ(s.trace_directory, "");
    }
    // A second model for a listed address: the first stays.
    Settings s;
    EXPECT_NE(parse_warnings("socket://10.0.0.5 OR-M1020\nsocket://10.0.0.5 OR-P1400\n", &s)
                  .find("orvela.conf:2: socket://10.0.0.5 is already listed as OR-M1020; line ignored"),
              std::string::npos);
    EXPECT_EQ(s.socket_models.at("10.0.0.5"), "OR-M1020");
}

// Initialisation reads the first orvela.conf of the directories, and a
// broken file never makes it fail; SANE_DEBUG_ORVELA=2 shows the warning.
TEST(ConfigFile, InitReadsTheFirstFileFound) {
    TempDir first, second;
    std::ofstream(second.file("orvela.conf")) << "scan streaming on\nusb off\n";
    setenv("SANE_CONFIG_DIR", (first.path() + ":" + second.path()).c_str(), 1);
    ASSERT_EQ(sane_orvela_init(nullptr, nullptr), SANE_STATUS_GOOD);
    EXPECT_EQ(orvela_config::current().file, second.file("orvela.conf"));
    EXPECT_TRUE(orvela_config::current().scan_streaming);
    EXPECT_FALSE(orvela_config::current().usb_search);

    std::ofstream(first.file("orvela.conf")) << "socket://10.1.2.3\nnonsense\n";
    setenv("SANE_DEBUG_ORVELA", "2", 1);
    testing::internal::CaptureStderr();
    ASSERT_EQ(sane_orvela_init(nullptr, nullptr), SANE_STATUS_GOOD);
    const std::string err = testing::internal::GetCapturedStderr();
    unsetenv("SANE_DEBUG_ORVELA");
    EXPECT_NE(err.find(first.file("orvela.conf") + ":2: unknown setting \"nonsense\"; line ignored"),
              std::string::npos)
        << err;
    EXPECT_EQ(err.find("INFO: "), std::string::npos) << "level 2 shows warnings, not information";
    EXPECT_FALSE(orvela_config::current().scan_streaming);
    EXPECT_EQ(orvela_config::current().socket_addresses, Dirs{"10.1.2.3"});

    setenv("SANE_CONFIG_DIR", first.file("none").c_str(), 1);
    setenv("SANE_DEBUG_ORVELA", "3", 1);
    testing::internal::CaptureStderr();
    ASSERT_EQ(sane_orvela_init(nullptr, nullptr), SANE_STATUS_GOOD);
    const std::string all = testing::internal::GetCapturedStderr();
    unsetenv("SANE_DEBUG_ORVELA");
    unsetenv("SANE_CONFIG_DIR");
    EXPECT_NE(all.find("INFO: File[ "), std::string::npos);
    EXPECT_TRUE(orvela_config::current().file.empty());
    EXPECT_TRUE(orvela_config::current().socket_addresses.empty());
    ASSERT_EQ(sane_orvela_init(nullptr, nullptr), SANE_STATUS_GOOD);
    dbg_set_stderr_level(0);
}

}  // namespace
