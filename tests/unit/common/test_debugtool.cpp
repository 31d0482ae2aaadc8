// The diagnostic log: stream selection, exact prefixes, and silence when off.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "common/debugtool.h"

namespace {

// Resets the log globals around each test.
class DebugLog : public ::testing::Test {
protected:
    void SetUp() override { reset(); }
    void TearDown() override { reset(); }
    static void reset() {
        g_err_file = g_warn_file = g_info_file = nullptr;
        g_print2std = 0;
    }
    static std::string contents(FILE* f) {
        std::string s;
        rewind(f);
        for (int c; (c = fgetc(f)) != EOF;) s += static_cast<char>(c);
        return s;
    }
};

TEST_F(DebugLog, StartSetsStreamsAsAsked) {
    FILE* a = tmpfile();
    FILE* b = tmpfile();
    px_dbg_start(nullptr, a, b);  // null error stream: error and warning untouched
    EXPECT_EQ(g_err_file, nullptr);
    EXPECT_EQ(g_warn_file, nullptr);
    EXPECT_EQ(g_info_file, b);

    px_dbg_start(a, nullptr, nullptr);  // warning follows the error stream's call, even null
    EXPECT_EQ(g_err_file, a);
    EXPECT_EQ(g_warn_file, nullptr);
    EXPECT_EQ(g_info_file, b);  // a null info stream leaves it as it was
    fclose(a);
    fclose(b);
}

TEST_F(DebugLog, WritesExactPrefixesAndFlushes) {
    FILE* f = tmpfile();
    px_dbg_start(f, f, f);
    __DBG_INFO("core/x.cpp", 49, "Run into %s\n", "thing");
    __DBG_WARN("a.cpp", 12345, "w\n");
    __DBG_ERR("b.cpp", 7, "e %d\n", 3);
    EXPECT_EQ(contents(f),
              "INFO: File[ core/x.cpp ], at Line[ 49    ] : Run into thing\n"
              "WARN: File[ a.cpp ], at Line[ 12345 ] : w\n"
              "ERR : File[ b.cpp ], at Line[ 7     ] : e 3\n");
    fclose(f);
}

TEST_F(DebugLog, SilentWithoutStreams) {
    // Nothing is opened or written; the streams stay unset.
    __DBG_INFO("f", 1, "x\n");
    __DBG_ERR("f", 1, "x\n");
    EXPECT_EQ(g_info_file, nullptr);
    EXPECT_EQ(g_err_file, nullptr);
}

TEST_F(DebugLog, Print2StdBindsOnFirstCallAndWritesFromTheSecond) {
    g_print2std = 1;
    testing::internal::CaptureStdout();
    __DBG_INFO("f.cpp", 3, "first\n");
    EXPECT_EQ(g_info_file, stdout);
    __DBG_INFO("f.cpp", 4, "second\n");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "INFO: File[ f.cpp ], at Line[ 4     ] : second\n");

    __DBG_WARN("f.cpp", 5, "w\n");
    __DBG_ERR("f.cpp", 6, "e\n");
    EXPECT_EQ(g_warn_file, stderr);
    EXPECT_EQ(g_err_file, stderr);
}

}  // namespace
