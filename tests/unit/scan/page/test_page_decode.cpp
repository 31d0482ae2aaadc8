// Page decoding of real JPEG files (grey, colour, odd sizes), broken pages
// (corrupt, truncated, oversized), and the page file's open and lock rules.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <vector>

#include "core/scan/page/page_decode.h"
#include "core/scan/page/page_file.h"
#include "core/scan/page/stream_decoder.h"
#include "core/scan/sane/exported_extras.h"
#include "core/scan/sane/handle_order.h"
#include "tests/support/jpeg_encode.h"
#include "tests/support/process.h"

namespace {

// A smooth test picture: red grows with x, green with y, blue constant.
std::vector<uint8_t> gradient(unsigned w, unsigned h, int channels) {
    std::vector<uint8_t> px(static_cast<size_t>(w) * h * channels);
    for (unsigned y = 0; y < h; ++y)
        for (unsigned x = 0; x < w; ++x) {
            uint8_t* p = &px[(static_cast<size_t>(y) * w + x) * channels];
            const uint8_t r = static_cast<uint8_t>(x * 255 / (w - 1));
            const uint8_t g = static_cast<uint8_t>(y * 255 / (h - 1));
            if (channels == 1) {
                p[0] = r;
            } else {
                p[0] = r;
                p[1] = g;
                p[2] = 90;
            }
        }
    return px;
}

int max_difference(const uint8_t* a, const uint8_t* b, size_t n) {
    int worst = 0;
    for (size_t i = 0; i < n; ++i) worst = std::max(worst, std::abs(int(a[i]) - int(b[i])));
    return worst;
}

// The streaming path's decoder fed `piece` bytes whenever it asks for more
// (and told when there are no more): the rows, or nothing unless it reached
// the end of the image.
std::vector<uint8_t> stream_decode(const std::vector<uint8_t>& jpeg, size_t piece) {
    StreamDecoder decoder;
    EXPECT_TRUE(decoder.init());
    std::vector<uint8_t> rows, row;
    for (size_t pos = 0, n;;) {
        switch (decoder.step(row.data())) {
        case StreamDecoder::Step::Header: row.resize(size_t{decoder.width()} * decoder.components()); break;
        case StreamDecoder::Step::Row: rows.insert(rows.end(), row.begin(), row.end()); break;
        case StreamDecoder::Step::Done: return rows;
        case StreamDecoder::Step::NeedData:
            if ((n = std::min(piece, jpeg.size() - pos)) == 0) {
                if (decoder.end_input()) break;
                return {};
            }
            memcpy(decoder.input_space(n), jpeg.data() + pos, n);
            decoder.commit_input(n);
            pos += n;
            break;
        default: return {};
        }
    }
}

class Decode : public ::testing::Test {
protected:
    void SetUp() override { show_job_in_handle(&handle); }

    std::string write_jpeg(const char* name, unsigned w, unsigned h, int channels) {
        const std::vector<uint8_t> jpeg = jpeg_encode(gradient(w, h, channels), w, h, channels, 95);
        EXPECT_FALSE(jpeg.empty());
        const std::string path = dir.file(name);
        EXPECT_TRUE(write_file(path, jpeg));
        return path;
    }

    TempDir dir;
    orvela_scanner_t handle{};
};

TEST_F(Decode, GreyAndColourPages) {
    // 37 x 29 is no multiple of the 8- or 16-pixel MCU.
    const std::string grey = write_jpeg("grey.jpg", 37, 29, 1);
    ASSERT_EQ(orvela_sane_decompress(&handle, grey.c_str()), SCAN_STATUS_GOOD);
    EXPECT_EQ(handle.src_img.img_width, 37u);
    EXPECT_EQ(handle.src_img.img_height, 29u);
    EXPECT_EQ(handle.src_img.img_channel, 1u);
    ASSERT_NE(handle.src_img.img_data, nullptr);
    const std::vector<uint8_t> grey_px = gradient(37, 29, 1);
    EXPECT_LE(max_difference(handle.src_img.img_data, grey_px.data(), grey_px.size()), 6);

    const std::string colour = write_jpeg("colour.jpg", 203, 117, 3);
    ASSERT_EQ(orvela_sane_decompress(&handle, colour.c_str()), SCAN_STATUS_GOOD);
    EXPECT_EQ(handle.src_img.img_width, 203u);
    EXPECT_EQ(handle.src_img.img_height, 117u);
    EXPECT_EQ(handle.src_img.img_channel, 3u);
    const std::vector<uint8_t> colour_px = gradient(203, 117, 3);
    // RGB order, rows packed: the last row's last pixel is red and green at full.
    EXPECT_LE(max_difference(handle.src_img.img_data, colour_px.data(), colour_px.size()), 12);
    const uint8_t* last = handle.src_img.img_data + colour_px.size() - 3;
    EXPECT_GT(last[0], 240);
    EXPECT_GT(last[1], 240);
    EXPECT_NEAR(last[2], 90, 8);
    // The file is left in place; removing it is the caller's business.
    EXPECT_EQ(access(colour.c_str(), F_OK), 0);
}

TEST_F(Decode, UnreadableFiles) {
    // A missing file leaves src_img untouched.
    const std::string real = write_jpeg("real.jpg", 16, 16, 1);
    ASSERT_EQ(orvela_sane_decompress(&handle, real.c_str()), SCAN_STATUS_GOOD);
    const unsigned char* decoded = handle.src_img.img_data;
    EXPECT_EQ(orvela_sane_decompress(&handle, dir.file("missing.jpg").c_str()), SCAN_STATUS_IO_ERROR);
    EXPECT_EQ(handle.src_img.img_data, decoded);
    EXPECT_EQ(handle.src_img.img_width, 16u);

    // The page file is never read through a symbolic link.
    const std::string link = dir.file("link.jpg");
    ASSERT_EQ(symlink(real.c_str(), link.c_str()), 0);
    EXPECT_EQ(orvela_sane_decompress(&handle, link.c_str()), SCAN_STATUS_IO_ERROR);
    EXPECT_EQ(handle.src_img.img_data, decoded);

    // A good decode replaces (and frees) the earlier page.
    ASSERT_EQ(orvela_sane_decompress(&handle, real.c_str()), SCAN_STATUS_GOOD);
    EXPECT_NE(handle.src_img.img_data, nullptr);
    EXPECT_EQ(handle.dst_img.img_data, nullptr);
}

TEST_F(Decode, CorruptAndTruncatedPagesFailWithoutEndingTheProcess) {
    // A page that the decode reads in several pieces of 64 KiB.
    const std::vector<uint8_t> good = jpeg_encode(jpeg_test_picture(640, 480, 3), 640, 480, 3, 95);
    ASSERT_GT(good.size(), 3u << 16);
    ASSERT_EQ(orvela_sane_decompress(&handle, write_jpeg("small.jpg", 4, 4, 1).c_str()), SCAN_STATUS_GOOD);
    const unsigned char* decoded = handle.src_img.img_data;

    const std::vector<uint8_t> garbage(4000, 0x5A);
    ASSERT_TRUE(write_file(dir.file("garbage.jpg"), garbage));
    EXPECT_EQ(orvela_sane_decompress(&handle, dir.file("garbage.jpg").c_str()), SCAN_STATUS_IO_ERROR);

    ASSERT_TRUE(write_file(dir.file("empty.jpg"), {}));
    EXPECT_EQ(orvela_sane_decompress(&handle, dir.file("empty.jpg").c_str()), SCAN_STATUS_IO_ERROR);

    // Cut inside the header, or inside the entropy-coded data of the first
    // piece, a later one, or the last.
    for (size_t keep : {size_t{2}, size_t{100}, size_t{3000}, good.size() / 2, good.size() - 40}) {
        std::vector<uint8_t> cut(good.begin(), good.begin() + static_cast<long>(keep));
        ASSERT_TRUE(write_file(dir.file("cut.jpg"), cut));
        EXPECT_EQ(orvela_sane_decompress(&handle, dir.file("cut.jpg").c_str()), SCAN_STATUS_IO_ERROR) << keep;
        EXPECT_EQ(handle.src_img.img_data, decoded) << keep;
        EXPECT_EQ(handle.src_img.img_width, 4u) << keep;
    }

    // A damaged frame header (sample precision 0).
    std::vector<uint8_t> bad_header = good;
    for (size_t i = 0; i + 4 < bad_header.size(); ++i)
        if (bad_header[i] == 0xFF && bad_header[i + 1] == 0xC0) {
            bad_header[i + 4] = 0;
            break;
        }
    ASSERT_TRUE(write_file(dir.file("badsof.jpg"), bad_header));
    EXPECT_EQ(orvela_sane_decompress(&handle, dir.file("badsof.jpg").c_str()), SCAN_STATUS_IO_ERROR);

    // The process is still here and decodes the next good page, piece after
    // piece, to the rows of libjpeg's decode from memory.
    ASSERT_TRUE(write_file(dir.file("good.jpg"), good));
    ASSERT_EQ(orvela_sane_decompress(&handle, dir.file("good.jpg").c_str()), SCAN_STATUS_GOOD);
    ASSERT_EQ(handle.src_img.img_height, 480u);
    std::vector<std::vector<uint8_t>> rows;
    ASSERT_TRUE(jpeg_decode_reference(good, &rows));
    for (unsigned y = 0; y < 480; ++y)
        ASSERT_EQ(memcmp(handle.src_img.img_data + size_t{y} * 640 * 3, rows[y].data(), 640 * 3), 0) << y;
}

// Fed in pieces of any size (one byte, odd sizes, more than a piece of the
// band buffer), the streaming decoder gives the page decode's rows, also
// across a marker segment that libjpeg skips in parts, and for arithmetic-
// coded frames (which libjpeg decodes only from their whole input; the fuzzer
// found them failing when streamed).
TEST_F(Decode, StreamingDecoderGivesThePageDecodesRowsWhateverThePieces) {
    JpegEncodeOptions arithmetic, progressive_arithmetic;
    arithmetic.arithmetic = progressive_arithmetic.arithmetic = progressive_arithmetic.progressive = true;
    std::vector<std::vector<uint8_t>> arithmetic_pages;
    for (const JpegEncodeOptions& options : {arithmetic, progressive_arithmetic}) {
        const std::vector<uint8_t> jpeg = jpeg_encode(gradient(203, 117, 3), 203, 117, 3, options);
        ASSERT_TRUE(write_file(dir.file("arith.jpg"), jpeg));
        ASSERT_EQ(orvela_sane_decompress(&handle, dir.file("arith.jpg").c_str()), SCAN_STATUS_GOOD);
        const std::vector<uint8_t> want(handle.src_img.img_data, handle.src_img.img_data + 203 * 117 * 3);
        arithmetic_pages.push_back(want);
        for (size_t piece : {size_t{1}, size_t{97}}) {
            EXPECT_TRUE(stream_decode(jpeg, piece) == want) << piece;
            EXPECT_TRUE(stream_decode(std::vector<uint8_t>(jpeg.begin(), jpeg.end() - 40), piece).empty());  // cut short
        }
    }
    std::vector<uint8_t> jpeg = jpeg_encode(gradient(203, 117, 3), 203, 117, 3);
    // An APP9 segment of 6002 bytes after SOI, made of what would be start
    // markers if it were read rather than skipped.
    std::vector<uint8_t> app;
    for (int i = 0; i < 3002; ++i) app.insert(app.end(), {0xFF, 0xD8});
    app[0] = 0xFF, app[1] = 0xE9, app[2] = 6002 >> 8, app[3] = 6002 & 0xFF;
    jpeg.insert(jpeg.begin() + 2, app.begin(), app.end());
    ASSERT_TRUE(write_file(dir.file("app.jpg"), jpeg));
    ASSERT_EQ(orvela_sane_decompress(&handle, dir.file("app.jpg").c_str()), SCAN_STATUS_GOOD);
    const std::vector<uint8_t> want(handle.src_img.img_data, handle.src_img.img_data + 203 * 117 * 3);
    for (size_t piece : {size_t{1}, size_t{7}, size_t{4093}, size_t{100000}})
        EXPECT_TRUE(stream_decode(jpeg, piece) == want) << piece;
    // The arithmetic-coded pages carry the same coefficients as this one.
    for (const std::vector<uint8_t>& page : arithmetic_pages) EXPECT_TRUE(page == want);
}

// Rewrites the frame header's height and width.
std::vector<uint8_t> with_frame_size(std::vector<uint8_t> jpeg, unsigned w, unsigned h) {
    for (size_t i = 0; i + 9 < jpeg.size(); ++i)
        if (jpeg[i] == 0xFF && jpeg[i + 1] == 0xC0) {
            jpeg[i + 5] = static_cast<uint8_t>(h >> 8);
            jpeg[i + 6] = static_cast<uint8_t>(h);
            jpeg[i + 7] = static_cast<uint8_t>(w >> 8);
            jpeg[i + 8] = static_cast<uint8_t>(w);
            break;
        }
    return jpeg;
}

// The page file's decode at a device tier: its status, the page freed.
SCAN_Status decode_at(const std::string& path, DeviceTier tier) {
    ORVELA_IMAGE_RAW page{};
    const SCAN_Status status = decode_page_file(path.c_str(), tier, &page);
    EXPECT_EQ(page.img_data != nullptr, status == SCAN_STATUS_GOOD);
    free(page.img_data);
    return status;
}

TEST_F(Decode, PagesLargerThanTheBedAreRefusedSmallerOnesServed) {
    // A device that sends more than was asked (up to its whole bed) is served.
    const std::vector<uint8_t> small = jpeg_encode(gradient(100, 40, 1), 100, 40, 1);
    ASSERT_TRUE(write_file(dir.file("p.jpg"), small));
    EXPECT_EQ(decode_at(dir.file("p.jpg"), {300, 300}), SCAN_STATUS_GOOD);

    // At 10 dpi the bed is 85 x 140 pixels; with its margin 87 x 144 fits.
    const std::vector<uint8_t> bed = jpeg_encode(gradient(87, 144, 1), 87, 144, 1);
    ASSERT_TRUE(write_file(dir.file("bed.jpg"), bed));
    EXPECT_EQ(decode_at(dir.file("bed.jpg"), {10, 10}), SCAN_STATUS_GOOD);
    for (auto [w, h] : {std::pair{88u, 144u}, std::pair{87u, 145u}}) {
        ASSERT_TRUE(write_file(dir.file("over.jpg"), with_frame_size(bed, w, h)));
        EXPECT_FALSE(frame_fits_bed(w, h, 10, 10)) << w;
        EXPECT_EQ(decode_at(dir.file("over.jpg"), {10, 10}), SCAN_STATUS_IO_ERROR) << w;
    }

    // A header announcing 65000 x 65000 colour pixels (12 GiB) is refused,
    // not attempted (an attempt would give NO_MEM or worse), also without a
    // request (the largest tier, 1200 x 600 dpi, bounds the page then): the
    // exported decode of a handle whose job has scanned nothing yet.
    const std::vector<uint8_t> colour = jpeg_encode(gradient(64, 64, 3), 64, 64, 3);
    ASSERT_TRUE(write_file(dir.file("huge.jpg"), with_frame_size(colour, 65000, 65000)));
    EXPECT_EQ(decode_at(dir.file("huge.jpg"), {300, 300}), SCAN_STATUS_IO_ERROR);
    EXPECT_EQ(orvela_sane_decompress(&handle, dir.file("huge.jpg").c_str()), SCAN_STATUS_IO_ERROR);
    EXPECT_EQ(handle.src_img.img_data, nullptr);  // refused before anything was decoded
    EXPECT_EQ(orvela_sane_decompress(&handle, dir.file("p.jpg").c_str()), SCAN_STATUS_GOOD);
    EXPECT_TRUE(frame_fits_bed(10518, 8662, 0, 0));
    EXPECT_FALSE(frame_fits_bed(10519, 8662, 1200, 600));
}

TEST(PageFile, OpenedSafelyAndLocked) {
    TempDir dir;
    const std::string path = dir.file("tmpscan.jpg");
    {
        std::ofstream old(path);
        old << "stale page";
    }
    chmod(path.c_str(), 0666);
    int fd = -1;
    ASSERT_EQ(page_file_acquire(path.c_str(), 0, nullptr, &fd), SCAN_STATUS_GOOD);
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 0);  // emptied
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(fcntl(fd, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);

    // A second scan (another handle here) waits, then reports busy...
    int second = -1;
    EXPECT_EQ(page_file_acquire(path.c_str(), 0, nullptr, &second), SCAN_STATUS_DEVICE_BUSY);
    // ... or stops waiting when cancelled.
    const bool cancelled = true;
    EXPECT_EQ(page_file_acquire(path.c_str(), 5, &cancelled, &second), SCAN_STATUS_CANCELLED);

    // A waiting process gets the file once the holder is done with it.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        int got = -1;
        const SCAN_Status s = page_file_acquire(path.c_str(), 10, nullptr, &got);
        _exit(s == SCAN_STATUS_GOOD ? 0 : 1);
    }
    usleep(200 * 1000);
    page_file_release(path.c_str(), fd, true);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    unlink(path.c_str());

    // A symbolic link at the path is never followed, nor its target truncated.
    const std::string target = dir.file("victim");
    {
        std::ofstream v(target);
        v << "keep me";
    }
    ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0);
    EXPECT_EQ(page_file_acquire(path.c_str(), 0, nullptr, &fd), SCAN_STATUS_ACCESS_DENIED);
    EXPECT_EQ(read_file(target), "keep me");
    unlink(path.c_str());

    // Another user's file is left alone.
    {
        std::ofstream theirs(path);
        theirs << "their page";
    }
    if (geteuid() == 0) {
        ASSERT_EQ(chown(path.c_str(), 4242, 4242), 0);
        EXPECT_EQ(page_file_acquire(path.c_str(), 0, nullptr, &fd), SCAN_STATUS_ACCESS_DENIED);
        EXPECT_EQ(read_file(path), "their page");
    }
    unlink(path.c_str());
    // A directory at the path is refused too.
    ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
    EXPECT_EQ(page_file_acquire(path.c_str(), 0, nullptr, &fd), SCAN_STATUS_ACCESS_DENIED);
    rmdir(path.c_str());
}

}  // namespace
