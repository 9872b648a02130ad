// H.264 encoder and decoder: a moving test pattern's round trip at the default bitrate
// (picture quality, size, IDR on the first picture, on request and a GOP after the last one),
// a decoder joining at a forced IDR, live changes of bitrate, frame rate and GOP, the
// library's messages in the SDK log, and x264's stream decoded without delay.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "h264_vector.h"
#include "media/h264_decoder.h"
#include "media/h264_encoder.h"
#include "logger.h"
#include "media/i420.h"
#include "media_signals.h"

namespace {

using namespace ostrel::loopback::media;
using media_signals::pattern;
using media_signals::psnr;

TEST(MediaH264, RoundTripOfMovingPatternAtDefaultBitrate) {
    H264EncoderConfig config;
    config.width = 640;
    config.height = 360;  // not a whole number of macroblocks: the stream crops
    H264Encoder enc(config);
    EXPECT_EQ(enc.config().bitrate_bps, H264Encoder::default_bitrate(640, 360, 15));
    EXPECT_EQ(enc.gop_frames(), 45);  // 3 s at 15 frames per second
    H264Decoder dec;
    H264AccessUnit au;
    I420Image out;
    double worst_y = 99, worst_c = 99;
    size_t bytes = 0;
    for (int n = 0; n < 60; ++n) {
        SCOPED_TRACE(n);
        if (n == 10) enc.force_key_frame();
        const I420Image in = pattern(640, 360, n);
        ASSERT_TRUE(enc.encode(in.view(), static_cast<uint32_t>(n * 1000 / 15), au));
        EXPECT_EQ(au.idr, n == 0 || n == 10 || n == 55);  // a forced IDR restarts the GOP
        ASSERT_GE(au.data.size(), 5u);
        EXPECT_EQ(0, std::memcmp(au.data.data(), "\0\0\0\1", 4));  // Annex B
        bytes += au.data.size();
        ASSERT_EQ(dec.decode(au.data.data(), au.data.size(), out), H264Decoder::Result::kPicture);
        ASSERT_EQ(out.width(), 640);
        ASSERT_EQ(out.height(), 360);
        const size_t luma = 640 * 360, chroma = 320 * 180;
        worst_y = std::min(worst_y, psnr(in.y(), out.y(), luma));
        worst_c = std::min({worst_c, psnr(in.u(), out.u(), chroma), psnr(in.v(), out.v(), chroma)});
    }
    EXPECT_GE(worst_y, 30.0);
    EXPECT_GE(worst_c, 30.0);
    // The rate control holds the stream near its target (4 s at 346 kbit/s).
    EXPECT_LT(bytes * 8.0 / 4.0, 2.0 * enc.config().bitrate_bps);
}

TEST(MediaH264, DecoderJoinsAtAnIdrAndRefusesToStartWithoutOne) {
    H264EncoderConfig config;
    config.width = 320;
    config.height = 240;
    config.frame_rate = 30;
    config.gop_seconds = 10;
    H264Encoder enc(config);
    std::vector<H264AccessUnit> stream(12);
    for (int n = 0; n < 12; ++n) {
        if (n == 6) enc.force_key_frame();
        ASSERT_TRUE(enc.encode(pattern(320, 240, n).view(), static_cast<uint32_t>(n * 33), stream[n]));
    }
    ASSERT_TRUE(stream[6].idr);
    H264Decoder late;
    I420Image out;
    EXPECT_NE(late.decode(stream[3].data.data(), stream[3].data.size(), out), H264Decoder::Result::kPicture);
    for (int n = 6; n < 12; ++n) {
        SCOPED_TRACE(n);
        ASSERT_EQ(late.decode(stream[n].data.data(), stream[n].data.size(), out), H264Decoder::Result::kPicture);
        const I420Image in = pattern(320, 240, n);
        EXPECT_GE(psnr(in.y(), out.y(), 320 * 240), 30.0);
    }
}

TEST(MediaH264, LiveChangesOfBitrateAndGop) {
    H264EncoderConfig config;
    config.width = 320;
    config.height = 240;
    config.bitrate_bps = 1000000;
    H264Encoder enc(config);
    H264AccessUnit au;
    int n = 0;
    auto run = [&](int count, std::vector<int>* idr_at) {
        size_t bytes = 0;
        for (int i = 0; i < count; ++i, ++n) {
            EXPECT_TRUE(enc.encode(pattern(320, 240, n).view(), static_cast<uint32_t>(n * 1000 / 15), au));
            if (i >= count / 2) bytes += au.data.size();  // after the rate control has settled
            if (idr_at && au.idr) idr_at->push_back(n);
        }
        return bytes;
    };
    const size_t high = run(30, nullptr);
    ASSERT_TRUE(enc.set_bitrate(150000));
    EXPECT_EQ(enc.config().bitrate_bps, 150000);
    const size_t low = run(30, nullptr);
    EXPECT_LT(low, high / 2);
    EXPECT_FALSE(enc.set_bitrate(0));

    ASSERT_TRUE(enc.set_gop_seconds(1));
    EXPECT_EQ(enc.gop_frames(), 15);
    ASSERT_TRUE(enc.set_frame_rate(10));
    EXPECT_EQ(enc.gop_frames(), 10);  // the GOP stays one second
    enc.force_key_frame();
    std::vector<int> idr;
    run(25, &idr);
    ASSERT_EQ(idr.size(), 3u);
    EXPECT_EQ(idr[1] - idr[0], 10);
    EXPECT_EQ(idr[2] - idr[1], 10);
}

TEST(MediaH264, RefusesPicturesOfAnotherSize) {
    H264EncoderConfig config;
    config.width = 320;
    config.height = 240;
    H264Encoder enc(config);
    H264AccessUnit au;
    EXPECT_FALSE(enc.encode(pattern(160, 120, 0).view(), 0, au));
    EXPECT_TRUE(au.data.empty());
}

// x264 writes the High profile even without B-frames; each unit's own picture comes out of
// that very decode call, with or without access unit delimiters.
TEST(MediaH264, X264StreamDecodesEachPictureAsItsUnitArrives) {
    for (const bool delimiters : {false, true}) {
        SCOPED_TRACE(delimiters);
        const auto units = h264_vector::units(delimiters);
        ASSERT_EQ(units.size(), static_cast<size_t>(h264_vector::kFrames));
        H264Decoder dec;
        I420Image out;
        for (int n = 0; n < h264_vector::kFrames; ++n) {
            SCOPED_TRACE(n);
            ASSERT_EQ(dec.decode(units[n].data(), units[n].size(), out), H264Decoder::Result::kPicture);
            ASSERT_EQ(out.width(), h264_vector::kWidth);
            ASSERT_EQ(out.height(), h264_vector::kHeight);
            const I420Image in = pattern(h264_vector::kWidth, h264_vector::kHeight, n);
            EXPECT_GE(psnr(in.data().data(), out.data().data(), in.data().size()), 35.0);
        }
    }
}

TEST(MediaH264, LibraryMessagesGoToTheSdkLog) {
    namespace log = ostrel::loopback::log;
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("media_h264_log_" + std::to_string(::getpid()));
    ASSERT_TRUE(log::set_path(dir.c_str()));
    log::set_level(log::kDebug);
    {
        // A P slice with no parameter sets before it: the library complains.
        H264Decoder dec;
        I420Image out;
        const uint8_t broken[] = {0, 0, 0, 1, 0x41, 0x9a, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07};
        EXPECT_EQ(dec.decode(broken, sizeof broken, out), H264Decoder::Result::kError);
    }
    std::ifstream in(log::file_path());
    std::stringstream text;
    text << in.rdbuf();
    log::reset_for_test();
    std::filesystem::remove_all(dir);
    EXPECT_NE(text.str().find("H264Decoder: "), std::string::npos) << text.str();
}

}  // namespace
