#include "tests/support/test_handle.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "core/scan/sane/handle_order.h"
#include "core/scan/sane/sane_host.h"
#include "core/scan/sane/sane_name_lists.h"
#include "core/scan/sane/sane_options.h"

void use_host(const char* name, bool simple_scan) {
    snprintf(gApplicationName, sizeof gApplicationName, "%s", name);
    gIsSimpleScanApp = simple_scan;
    build_name_lists();
}

TestHandle::TestHandle(bool feeder, bool right_rear, int port) : s_(new orvela_scanner_t{}) {
    // The name lists, as initialisation would have made them in this program.
    if (mode_list[0] == nullptr) use_host(program_invocation_short_name);
    s_->device = net_record(port);
    s_->device.isSupportADF = feeder;
    s_->device.isRightRearBP = right_rear;
    show_job_in_handle(s_);
    EXPECT_EQ(init_options(s_), SANE_STATUS_GOOD);
}

TestHandle::~TestHandle() { sane_orvela_close(s_); }

orvela_scanner_t* TestHandle::release() {
    orvela_scanner_t* s = s_;
    s_ = nullptr;
    return s;
}

SANE_Int TestHandle::set_string(int option, const std::string& text) {
    std::string copy(text);
    SANE_Int info = -1;
    EXPECT_EQ(sane_orvela_control_option(s_, option, SANE_ACTION_SET_VALUE, copy.data(), &info), SANE_STATUS_GOOD)
        << "option " << option << " = \"" << text << '"';
    return info;
}

SANE_Int TestHandle::set_word(int option, SANE_Word value) {
    SANE_Int info = -1;
    EXPECT_EQ(sane_orvela_control_option(s_, option, SANE_ACTION_SET_VALUE, &value, &info), SANE_STATUS_GOOD)
        << "option " << option << " = " << value;
    return info;
}

std::string TestHandle::get_string(int option) {
    std::string buf(static_cast<size_t>(s_->opt[option].size), '\x7f');
    EXPECT_EQ(sane_orvela_control_option(s_, option, SANE_ACTION_GET_VALUE, buf.data(), nullptr), SANE_STATUS_GOOD);
    return buf.c_str();
}

SANE_Word TestHandle::get_word(int option) {
    SANE_Word w = -1;
    EXPECT_EQ(sane_orvela_control_option(s_, option, SANE_ACTION_GET_VALUE, &w, nullptr), SANE_STATUS_GOOD);
    return w;
}

SANE_Int TestHandle::set(const std::string& name, const std::string& text) {
    for (int i = 1; i < NUM_OPTIONS; ++i) {
        if (s_->opt[i].name == nullptr || name != s_->opt[i].name) continue;
        if (s_->opt[i].type == SANE_TYPE_STRING) return set_string(i, text);
        return set_word(i, s_->opt[i].type == SANE_TYPE_FIXED ? SANE_FIX(strtod(text.c_str(), nullptr))
                                                               : atoi(text.c_str()));
    }
    ADD_FAILURE() << "no option " << name;
    return 0;
}

void TestHandle::set_area(double x, double y, double width, double height) {
    set_string(OPT_PAPERSIZE, "Custom");
    set_word(OPT_TL_X, mm(x));
    set_word(OPT_TL_Y, mm(y));
    set_word(OPT_WIDTH, mm(width));
    set_word(OPT_HEIGHT, mm(height));
}

SANE_Parameters TestHandle::parameters() {
    SANE_Parameters p{};
    EXPECT_EQ(sane_orvela_get_parameters(s_, &p), SANE_STATUS_GOOD);
    return p;
}

FrameRead TestHandle::read_frame(SANE_Int max_length) {
    FrameRead frame;
    frame.params = parameters();
    constexpr size_t kGuard = 16;
    std::vector<uint8_t> buf(static_cast<size_t>(max_length) + kGuard, 0xA5);
    for (;;) {
        SANE_Int len = -1;
        frame.end = sane_orvela_read(s_, buf.data(), max_length, &len);
        if (frame.end != SANE_STATUS_GOOD) {
            EXPECT_EQ(len, 0);
            return frame;
        }
        EXPECT_GE(len, 1);
        EXPECT_LE(len, max_length);
        for (size_t i = static_cast<size_t>(max_length); i < buf.size(); ++i) {
            if (buf[i] != 0xA5) {
                ADD_FAILURE() << "a read of at most " << max_length << " bytes wrote byte " << i;
                return frame;
            }
        }
        frame.bytes.insert(frame.bytes.end(), buf.begin(), buf.begin() + len);
        frame.lengths.push_back(len);
    }
}

FrameRead TestHandle::scan(SANE_Int max_length) {
    EXPECT_EQ(sane_orvela_start(s_), SANE_STATUS_GOOD);
    FrameRead frame = read_frame(max_length);
    EXPECT_EQ(frame.end, SANE_STATUS_EOF);
    EXPECT_EQ(frame.bytes.size(), static_cast<size_t>(frame.params.bytes_per_line) * frame.params.lines);
    return frame;
}
