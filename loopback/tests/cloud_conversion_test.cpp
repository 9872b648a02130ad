// Conversions between members that disagree on a form: Opus for receivers that want it and
// from senders that send it, H.264 for receivers of encoded video from pixel senders and
// pixel frames from H.264 senders, and the codecs released once no receiver needs them.
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "cloud_test_support.h"
#include "h264_vector.h"
#include "logger.h"
#include "media/h264_decoder.h"
#include "media/h264_encoder.h"
#include "media/opus_decoder.h"
#include "media/opus_encoder.h"
#include "media_signals.h"

namespace {

using namespace cloud_test;
using ostrel::loopback::frame_payload;
using ostrel::loopback::set_payload;
namespace media = ostrel::loopback::media;

EnterRoomParams audio_receiver(const char* user, const char* room, int rate, AudioCodecType codec) {
    EnterRoomParams p = params(user, room);
    p.audio_obtain_params.output_sample_rate = rate;
    p.audio_obtain_params.output_audio_codec_type = codec;
    return p;
}

AudioFrame audio_frame(int rate, const int16_t* samples, size_t count, uint32_t pts) {
    AudioFrame f;
    f.sample_rate = rate;
    f.channels = 1;
    f.pts = pts;
    set_payload(f, reinterpret_cast<const uint8_t*>(samples), count * 2);
    return f;
}

int codecs(int kind) { return ostrel_loopback_codecs(kind); }
constexpr int kOpusEncoders = 0, kOpusDecoders = 1, kH264Encoders = 2, kH264Decoders = 3;

TEST(CloudConversion, PcmSentReachesOpusReceiversAsOpusThatDecodesToTheTone) {
    EventLog rs, ro, rp;
    Cloud s(&rs), opus(&ro), pcm(&rp);
    EXPECT_EQ(opus->EnterRoom(audio_receiver("o", "opus", 44100, AUDIO_CODEC_TYPE_OPUS)), ERR_NOT_SUPPORTED);
    EXPECT_EQ(opus->EnterRoom(audio_receiver("o", "opus", 48000, AUDIO_CODEC_TYPE_AAC)), ERR_NOT_SUPPORTED);
    ASSERT_EQ(opus->EnterRoom(audio_receiver("o", "opus", 48000, AUDIO_CODEC_TYPE_OPUS)), 0);
    ASSERT_EQ(pcm->EnterRoom(audio_receiver("p", "opus", 48000, AUDIO_CODEC_TYPE_PCM)), 0);
    ASSERT_EQ(s->EnterRoom(params("tone", "opus")), 0);
    ASSERT_EQ(s->CreateLocalAudioChannel(AudioEncodeParams()), 0);             // 48 kHz mono 20 ms
    const std::vector<int16_t> tone = media_signals::signal(48000, 1, 48000);  // 1 s
    for (uint32_t k = 0; k < 50; ++k) ASSERT_EQ(s->SendAudioFrame(audio_frame(48000, &tone[k * 960], 960, 20 * k)), 0);
    ASSERT_TRUE(idle());
    EXPECT_EQ(codecs(kOpusEncoders), 1);  // for the Opus receiver only

    media::OpusDecoder decoder(48000, 1);
    std::vector<int16_t> decoded;
    const auto got = ro.audio();
    ASSERT_EQ(got.size(), 50u);
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].codec, AUDIO_CODEC_TYPE_OPUS);
        EXPECT_EQ(got[i].pts, 20 * i);
        const auto& packet = frame_payload(got[i]);
        ASSERT_EQ(decoder.decode(packet.data(), packet.size(), decoded), 960);
    }
    const size_t lag = 312;  // the codec's 6.5 ms lookahead at 48 kHz
    EXPECT_GE(media_signals::correlation(tone, 1, decoded, 1, lag, 960), 0.95);
    // PCM to PCM at the same rate: nothing encoded, bit for bit.
    std::vector<int16_t> plain;
    for (const AudioFrame& f : rp.audio()) {
        EXPECT_EQ(f.codec, AUDIO_CODEC_TYPE_PCM);
        const auto s16 = samples_of(f);
        plain.insert(plain.end(), s16.begin(), s16.end());
    }
    EXPECT_EQ(plain, tone);

    ASSERT_EQ(opus->ExitRoom(), 0);
    EXPECT_EQ(codecs(kOpusEncoders), 0);
}

TEST(CloudConversion, OpusSentPassesToOpusReceiversAsSentAndReachesPcmReceiversDecoded) {
    EventLog rs, ro, rp;
    Cloud s(&rs), opus(&ro), pcm(&rp);
    ASSERT_EQ(opus->EnterRoom(audio_receiver("o", "opus-in", 16000, AUDIO_CODEC_TYPE_OPUS)), 0);
    ASSERT_EQ(pcm->EnterRoom(audio_receiver("p", "opus-in", 48000, AUDIO_CODEC_TYPE_PCM)), 0);
    ASSERT_EQ(s->EnterRoom(params("coder", "opus-in")), 0);
    AudioEncodeParams p;
    p.sample_rate = 16000;
    p.need_encode = false;
    ASSERT_EQ(s->CreateLocalAudioChannel(p), 0);
    media::OpusEncoder encoder(16000, 1, 20);
    const std::vector<int16_t> tone = media_signals::signal(16000, 1, 16000);
    std::vector<std::vector<uint8_t>> sent;
    for (uint32_t k = 0; k < 50; ++k) {
        std::vector<uint8_t> packet;
        ASSERT_TRUE(encoder.encode(&tone[k * 320], packet));
        AudioFrame f;
        f.sample_rate = 16000;
        f.channels = 1;
        f.codec = AUDIO_CODEC_TYPE_OPUS;
        f.pts = 20 * k;
        set_payload(f, packet.data(), packet.size());
        ASSERT_EQ(s->SendAudioFrame(f), 0);
        sent.push_back(packet);
    }
    ASSERT_TRUE(idle());
    const auto passed = ro.audio();
    ASSERT_EQ(passed.size(), sent.size());
    for (size_t i = 0; i < sent.size(); ++i) EXPECT_EQ(frame_payload(passed[i]), sent[i]);
    EXPECT_EQ(codecs(kOpusEncoders), 0);  // nothing re-encoded
    EXPECT_EQ(codecs(kOpusDecoders), 1);  // one decoder for the PCM receiver

    std::vector<int16_t> heard;
    for (const AudioFrame& f : rp.audio()) {
        EXPECT_EQ(f.codec, AUDIO_CODEC_TYPE_PCM);
        const auto s16 = samples_of(f);
        heard.insert(heard.end(), s16.begin(), s16.end());
    }
    ASSERT_GE(heard.size(), 45000u);
    // 16 kHz tone, decoded and resampled to 48 kHz: compare at 48 kHz, after the codec's
    // lookahead and the resampler's delay (6.5 + 2.5 ms).
    const std::vector<int16_t> tone48 = media_signals::signal(48000, 1, 48000);
    EXPECT_GE(media_signals::correlation(tone48, 1, heard, 1, 432, 4800), 0.95);

    AudioFrame wrong;
    wrong.sample_rate = 16000;
    wrong.channels = 1;
    wrong.codec = AUDIO_CODEC_TYPE_OPUS;
    EXPECT_EQ(s->SendAudioFrame(wrong), ERR_INVALID_PARAMETER);  // empty packet
}

// A pixel frame of the moving pattern, in I420.
PixelFrame picture(int n, int w = 320, int h = 240) {
    const media::I420Image img = media_signals::pattern(w, h, n);
    PixelFrame f;
    f.width = static_cast<uint32_t>(w);
    f.height = static_cast<uint32_t>(h);
    f.format = VIDEO_PIXEL_FORMAT_YUV420p;
    f.pts = static_cast<uint32_t>(n * 66);
    f.rotation = VIDEO_ROTATION_90;
    set_payload(f, img.data().data(), img.data().size());
    return f;
}

TEST(CloudConversion, PixelFramesReachEncodedReceiversAsH264WithKeyFramesOnSubscription) {
    EventLog rs, re, rl;
    Cloud s(&rs), enc(&re), late(&rl);
    EnterRoomParams ps = params("cam", "h264");
    ps.use_pixel_frame_input = true;
    ASSERT_EQ(s->EnterRoom(ps), 0);
    ASSERT_EQ(enc->EnterRoom(params("rec", "h264")), 0);
    ASSERT_EQ(late->EnterRoom(params("late", "h264")), 0);
    ASSERT_EQ(s->CreateLocalVideoChannel(STREAM_TYPE_VIDEO_HIGH), 0);
    ASSERT_EQ(s->SendVideoFrame(STREAM_TYPE_VIDEO_HIGH, picture(0)), 0);
    EXPECT_EQ(codecs(kH264Encoders), 0);  // nobody subscribed: nothing encoded
    ASSERT_EQ(enc->Subscribe("cam", STREAM_TYPE_VIDEO_HIGH), 0);
    for (int n = 1; n <= 20; ++n) {
        if (n == 12) {
            ASSERT_EQ(late->Subscribe("cam", STREAM_TYPE_VIDEO_HIGH), 0);
        }
        ASSERT_EQ(s->SendVideoFrame(STREAM_TYPE_VIDEO_HIGH, picture(n)), 0);
    }
    ASSERT_TRUE(idle());
    EXPECT_EQ(codecs(kH264Encoders), 1);  // one for both receivers

    const auto got = re.video();
    ASSERT_EQ(got.size(), 20u);
    media::H264Decoder decoder;
    media::I420Image out;
    for (size_t i = 0; i < got.size(); ++i) {
        SCOPED_TRACE(i);
        const int n = static_cast<int>(i) + 1;
        EXPECT_EQ(got[i].codec, VIDEO_CODEC_TYPE_H264);
        EXPECT_EQ(got[i].is_key_frame, n == 1 || n == 12);  // the stream's start, a new subscriber
        EXPECT_EQ(got[i].pts, static_cast<uint32_t>(n * 66));
        EXPECT_EQ(got[i].dts, got[i].pts);
        EXPECT_EQ(got[i].rotation, VIDEO_ROTATION_90);
        const auto& au = frame_payload(got[i]);
        ASSERT_EQ(decoder.decode(au.data(), au.size(), out), media::H264Decoder::Result::kPicture);
        const media::I420Image in = media_signals::pattern(320, 240, n);
        EXPECT_GE(media_signals::psnr(in.data().data(), out.data().data(), in.data().size()), 30.0);
    }
    ASSERT_FALSE(rl.video().empty());
    EXPECT_TRUE(rl.video()[0].is_key_frame);  // the late subscriber starts at a key frame

    // RGBA frames are converted to I420 before encoding.
    std::vector<uint8_t> rgba(320 * 240 * 4, 90);
    PixelFrame f;
    f.width = 320;
    f.height = 240;
    f.format = VIDEO_PIXEL_FORMAT_RGBA;
    set_payload(f, rgba.data(), rgba.size());
    ASSERT_EQ(s->SendVideoFrame(STREAM_TYPE_VIDEO_HIGH, f), 0);
    ASSERT_TRUE(idle());
    EXPECT_EQ(re.video().size(), 21u);

    // The encoder goes when its last receiver does.
    ASSERT_EQ(enc->Unsubscribe("cam", STREAM_TYPE_VIDEO_HIGH), 0);
    EXPECT_EQ(codecs(kH264Encoders), 1);
    late.destroy();
    EXPECT_EQ(codecs(kH264Encoders), 0);
}

// A camera sending H.264 on `stream`, and a viewer subscribed to it that wants pixels.
struct CameraToPixels {
    EventLog rs, rp;
    Cloud s{&rs}, pix{&rp};
    CameraToPixels(const char* room, StreamType stream) {
        EXPECT_EQ(s->EnterRoom(params("cam", room)), 0);
        EXPECT_EQ(pix->EnterRoom(pixel_viewer("viewer", room)), 0);
        EXPECT_EQ(pix->Subscribe("cam", stream), 0);
        EXPECT_EQ(s->CreateLocalVideoChannel(stream), 0);
    }
};

TEST(CloudConversion, H264SentReachesPixelReceiversDecoded) {
    CameraToPixels room("decode", STREAM_TYPE_VIDEO_LOW);
    Cloud& s = room.s;
    EventLog& rp = room.rp;
    media::H264EncoderConfig config;
    config.width = 320;
    config.height = 240;
    media::H264Encoder encoder(config);
    for (int n = 0; n < 10; ++n) {
        media::H264AccessUnit au;
        ASSERT_TRUE(encoder.encode(media_signals::pattern(320, 240, n).view(), static_cast<uint32_t>(n * 66), au));
        VideoFrame vf;
        vf.codec = VIDEO_CODEC_TYPE_H264;
        vf.is_key_frame = au.idr;
        vf.pts = static_cast<uint32_t>(n * 66);
        set_payload(vf, au.data.data(), au.data.size());
        ASSERT_EQ(s->SendVideoFrame(STREAM_TYPE_VIDEO_LOW, vf), 0);
    }
    ASSERT_TRUE(idle());
    EXPECT_EQ(codecs(kH264Decoders), 1);
    const auto got = rp.pixels();
    ASSERT_EQ(got.size(), 10u);
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].format, VIDEO_PIXEL_FORMAT_YUV420p);
        EXPECT_EQ(got[i].width, 320u);
        EXPECT_EQ(got[i].height, 240u);
        EXPECT_EQ(got[i].pts, static_cast<uint32_t>(i * 66));
        const media::I420Image in = media_signals::pattern(320, 240, static_cast<int>(i));
        EXPECT_GE(media_signals::psnr(in.data().data(), frame_payload(got[i]).data(), in.data().size()), 30.0);
    }
    ASSERT_EQ(s->DestroyLocalVideoChannel(STREAM_TYPE_VIDEO_LOW), 0);
    EXPECT_EQ(codecs(kH264Decoders), 0);
}

// A stream as real-time senders make it (x264, no B-frames, High profile), through a room to
// a pixel receiver: every send delivers its own picture, with its pts and rotation, before the
// next send; none is held back and none is lost at the end.
TEST(CloudConversion, X264StreamReachesPixelReceiversWithoutDelay) {
    for (const bool delimiters : {false, true}) {
        SCOPED_TRACE(delimiters);
        CameraToPixels room("x264", STREAM_TYPE_VIDEO_HIGH);
        Cloud& s = room.s;
        EventLog& rp = room.rp;
        const auto units = h264_vector::units(delimiters);
        for (int n = 0; n < h264_vector::kFrames; ++n) {
            SCOPED_TRACE(n);
            VideoFrame vf;
            vf.codec = VIDEO_CODEC_TYPE_H264;
            vf.is_key_frame = n % 15 == 0;
            vf.pts = static_cast<uint32_t>(1000 + n * 66);
            vf.rotation = n % 2 ? VIDEO_ROTATION_180 : VIDEO_ROTATION_270;
            set_payload(vf, units[n].data(), units[n].size());
            ASSERT_EQ(s->SendVideoFrame(STREAM_TYPE_VIDEO_HIGH, vf), 0);
            ASSERT_TRUE(idle());
            const auto got = rp.pixels();
            ASSERT_EQ(got.size(), static_cast<size_t>(n + 1));
            const PixelFrame& f = got.back();
            EXPECT_EQ(f.pts, vf.pts);
            EXPECT_EQ(f.rotation, vf.rotation);
            ASSERT_EQ(f.width, static_cast<uint32_t>(h264_vector::kWidth));
            ASSERT_EQ(f.height, static_cast<uint32_t>(h264_vector::kHeight));
            const media::I420Image in = media_signals::pattern(h264_vector::kWidth, h264_vector::kHeight, n);
            EXPECT_GE(media_signals::psnr(in.data().data(), frame_payload(f).data(), in.data().size()), 35.0);
        }
    }
}

// Frames the SDK cannot decode for the receivers that need them decoded reach none of them,
// but leave a trace: the undecodable count, and a warning per sender at most once a second.
TEST(CloudConversion, UndecodableFramesAreCountedAndLogged) {
    namespace log = ostrel::loopback::log;
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("undecodable_log_" + std::to_string(::getpid()));
    ASSERT_TRUE(log::set_path(dir.c_str()));
    EventLog rs, rp, rv;
    Cloud s(&rs), pcm(&rp), viewer(&rv);
    ASSERT_EQ(pcm->EnterRoom(audio_receiver("pcm", "garble", 16000, AUDIO_CODEC_TYPE_PCM)), 0);
    ASSERT_EQ(viewer->EnterRoom(pixel_viewer("viewer", "garble")), 0);
    ASSERT_EQ(viewer->Subscribe("garbler", STREAM_TYPE_VIDEO_HIGH), 0);
    ASSERT_EQ(s->EnterRoom(params("garbler", "garble")), 0);
    AudioEncodeParams p;
    p.sample_rate = 16000;
    p.need_encode = false;
    ASSERT_EQ(s->CreateLocalAudioChannel(p), 0);
    ASSERT_EQ(s->CreateLocalVideoChannel(STREAM_TYPE_VIDEO_HIGH), 0);
    const unsigned long long before = ostrel_loopback_undecodable();
    const auto start = std::chrono::steady_clock::now();

    media::OpusEncoder encoder(16000, 1, 20);
    const std::vector<int16_t> tone = media_signals::signal(16000, 1, 16000);
    auto send_opus = [&](const std::vector<uint8_t>& packet) {
        AudioFrame f;
        f.sample_rate = 16000;
        f.channels = 1;
        f.codec = AUDIO_CODEC_TYPE_OPUS;
        set_payload(f, packet.data(), packet.size());
        ASSERT_EQ(s->SendAudioFrame(f), 0);  // accepted: the SDK does not parse what it passes on
    };
    const std::vector<uint8_t> no_frames = {0x03, 0x00};  // a code 3 packet of zero frames
    for (int k = 0; k < 40; ++k) {
        std::vector<uint8_t> good;
        ASSERT_TRUE(encoder.encode(&tone[static_cast<size_t>(k) * 320], good));
        send_opus(good);
        send_opus(no_frames);
    }
    const uint8_t orphan_p_slice[] = {0, 0, 0, 1, 0x41, 0x9a, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07};
    for (int k = 0; k < 5; ++k) {
        VideoFrame vf;
        vf.codec = VIDEO_CODEC_TYPE_H264;
        set_payload(vf, orphan_p_slice, sizeof orphan_p_slice);
        ASSERT_EQ(s->SendVideoFrame(STREAM_TYPE_VIDEO_HIGH, vf), 0);
    }
    ASSERT_TRUE(idle());
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(ostrel_loopback_undecodable() - before, 45u);
    EXPECT_EQ(rp.audio().size(), 40u);  // the good packets, each one 20 ms frame
    EXPECT_TRUE(rv.pixels().empty());

    std::ifstream in(log::file_path());
    std::string line;
    size_t warnings = 0;
    while (std::getline(in, line)) warnings += line.find("'garbler': ") != std::string::npos;
    log::reset_for_test();
    std::filesystem::remove_all(dir);
    EXPECT_GE(warnings, 1u);
    EXPECT_LE(warnings, 1u + static_cast<size_t>(seconds));
}

}  // namespace
