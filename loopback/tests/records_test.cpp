// Value semantics of the SDK records: defaults, independent copies, null strings and
// zero-length payloads.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "vonu/ostrel_vonu_cloud.h"
#include "vonu/ostrel_vonu_defines.h"

using namespace ostrel::vonu;

namespace {

const uint8_t* bytes(const char* text) { return reinterpret_cast<const uint8_t*>(text); }

std::string payload(const uint8_t* data, size_t size) {
    return size == 0 ? std::string() : std::string(reinterpret_cast<const char*>(data), size);
}

}  // namespace

TEST(Records, ValueInitialisedDefaults) {
    AudioEncodeParams audio{};
    EXPECT_EQ(audio.channels, 1);
    EXPECT_EQ(audio.sample_rate, 48000);
    EXPECT_EQ(audio.frame_length_ms, 20);
    EXPECT_EQ(audio.bitrate_bps, 51200);
    EXPECT_TRUE(audio.need_encode);

    AudioObtainParams obtain{};
    EXPECT_EQ(obtain.audio_obtain_method, AUDIO_OBTAIN_METHOD_CALLBACK);
    EXPECT_FALSE(obtain.enable_remote_audio_mix);
    EXPECT_EQ(obtain.output_sample_rate, 16000);
    EXPECT_EQ(obtain.output_channels, 1);
    EXPECT_EQ(obtain.output_frame_length_ms, 20);
    EXPECT_EQ(obtain.output_audio_codec_type, AUDIO_CODEC_TYPE_PCM);

    VideoEncodeParams video{};
    EXPECT_EQ(video.frame_rate, 15);
    EXPECT_EQ(video.bitrate_bps, 0);
    EXPECT_EQ(video.gop_in_seconds, 3);
    EXPECT_FALSE(VADParams{}.enable);

    NetworkQualityInfo quality{};
    EXPECT_STREQ(quality.user_id.GetValue(), "");
    EXPECT_EQ(quality.quality, NETWORK_QUALITY_DOWN);

    EnterRoomParams enter{};
    EXPECT_EQ(enter.room.sdk_app_id, 0u);
    EXPECT_STREQ(enter.room.user_id.GetValue(), "");
    EXPECT_EQ(enter.room.custom_data, nullptr);
    EXPECT_EQ(enter.scene, VONU_SCENE_VIDEO_CALL);
    EXPECT_EQ(enter.role, VONU_ROLE_ANCHOR);
    EXPECT_EQ(enter.audio_obtain_params.audio_obtain_method, AUDIO_OBTAIN_METHOD_CALLBACK);
    EXPECT_FALSE(enter.use_pixel_frame_input);
    EXPECT_FALSE(enter.use_pixel_frame_output);
}

TEST(Records, VonuStringNullAndCopies) {
    VonuString empty;
    EXPECT_STREQ(empty.GetValue(), "");

    VonuString null_built(nullptr);
    EXPECT_EQ(null_built.GetValue(), nullptr);
    VonuString copy_of_null(null_built);
    EXPECT_EQ(copy_of_null.GetValue(), nullptr);

    VonuString s("abc");
    s.SetValue(nullptr);
    EXPECT_EQ(s.GetValue(), nullptr);
    s = "again";
    EXPECT_STREQ(s.GetValue(), "again");

    // The constructor copies: the caller's buffer may go away at once.
    auto buffer = std::make_unique<char[]>(4);
    std::strcpy(buffer.get(), "xyz");
    VonuString owned(buffer.get());
    buffer.reset();
    EXPECT_STREQ(owned.GetValue(), "xyz");

    auto source = std::make_unique<VonuString>("first");
    VonuString copied(*source);
    VonuString assigned;
    assigned = *source;
    source->SetValue("changed");
    EXPECT_STREQ(copied.GetValue(), "first");
    EXPECT_STREQ(assigned.GetValue(), "first");
    source.reset();
    EXPECT_STREQ(copied.GetValue(), "first");

    assigned = assigned;  // self-assignment keeps the value
    EXPECT_STREQ(assigned.GetValue(), "first");
}

TEST(Records, RoomParamsAssignmentCopiesStringsAndPointers) {
    int marker = 0;
    RoomParams source;
    source.sdk_app_id = 7;
    source.user_id = "old";
    source.custom_data = &marker;
    RoomParams target;
    target = source;
    source.user_id.SetValue("new");
    EXPECT_STREQ(target.user_id.GetValue(), "old");
    EXPECT_EQ(target.sdk_app_id, 7u);
    EXPECT_EQ(target.custom_data, &marker);
    EXPECT_EQ(target.decryption_delegate, source.decryption_delegate);
    EXPECT_EQ(target.encryption_delegate, source.encryption_delegate);

    RoomParams constructed(source);
    source.user_id.SetValue("newer");
    EXPECT_STREQ(constructed.user_id.GetValue(), "new");
}

template <typename Frame>
class FrameRecords : public ::testing::Test {};
using FrameTypes = ::testing::Types<AudioFrame, VideoFrame, PixelFrame>;
TYPED_TEST_SUITE(FrameRecords, FrameTypes);

TYPED_TEST(FrameRecords, DefaultFrameIsEmptyAndUsable) {
    TypeParam frame;
    EXPECT_EQ(frame.size(), 0u);
    (void)frame.data();
    EXPECT_NE(frame.handle(), nullptr);
    TypeParam copy(frame);
    EXPECT_EQ(copy.size(), 0u);
}

TYPED_TEST(FrameRecords, CopyOutlivesSourceAndIsIndependent) {
    auto source = std::make_unique<TypeParam>();
    const char raw[] = {'a', '\0', 'b', '\0'};
    source->SetData(bytes(raw), sizeof raw);
    source->pts = 42;
    TypeParam copy(*source);
    source->SetData(bytes("zz"), 2);
    source.reset();
    ASSERT_EQ(copy.size(), 4u);
    EXPECT_EQ(payload(copy.data(), copy.size()), std::string(raw, 4));
    EXPECT_EQ(copy.pts, 42u);

    TypeParam assigned;
    assigned = copy;
    copy.SetData(bytes("q"), 1);
    EXPECT_EQ(payload(assigned.data(), assigned.size()), std::string(raw, 4));
}

TYPED_TEST(FrameRecords, ZeroLengthAndNullPayloads) {
    TypeParam frame;
    frame.SetData(bytes("abc"), 3);
    frame.SetData(bytes("abc"), 0);
    EXPECT_EQ(frame.size(), 0u);
    frame.SetData(nullptr, 100);  // a null source is an empty payload, never a read
    EXPECT_EQ(frame.size(), 0u);

    // SetData copies: the caller's buffer may go away at once.
    auto buffer = std::make_unique<uint8_t[]>(3);
    std::memcpy(buffer.get(), "xyz", 3);
    frame.SetData(buffer.get(), 3);
    buffer.reset();
    EXPECT_EQ(payload(frame.data(), frame.size()), "xyz");
}

TEST(Records, AudioExtraDataDoesNotTouchPayload) {
    AudioFrame frame;
    frame.SetData(bytes("pcm"), 3);
    frame.SetExtraData(bytes("extra!"), 6);
    EXPECT_EQ(payload(frame.data(), frame.size()), "pcm");
    AudioFrame copy(frame);
    EXPECT_EQ(copy.size(), 3u);
}

TEST(Records, VonuBufferCopiesAndResizes) {
    VonuBuffer buffer;
    EXPECT_EQ(buffer.size(), 0u);
    buffer.SetData(bytes("abcd"), 4);
    VonuBuffer copy(buffer);
    buffer.SetSize(2);
    EXPECT_EQ(buffer.size(), 2u);
    EXPECT_EQ(payload(copy.cdata(), copy.size()), "abcd");
    copy = buffer;
    EXPECT_EQ(payload(copy.cdata(), copy.size()), "ab");
}
