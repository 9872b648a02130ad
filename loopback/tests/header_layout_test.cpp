// Compile-time checks of the SDK interface headers: enumerator values, widths, field order
// and record layout that a vendor library built against the same headers relies on.
#include <gtest/gtest.h>

#include <cstddef>
#include <type_traits>

#include "ostrel_zulive_sdk.h"
#include "quiet_delegate.h"
#include "vonu/ostrel_vonu_cloud.h"
#include "vonu/ostrel_vonu_defines.h"

using namespace ostrel::vonu;

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"

namespace {

template <typename E, typename U>
constexpr bool underlying_is = std::is_same<std::underlying_type_t<E>, U>::value && sizeof(E) == 4;

static_assert(underlying_is<Error, int>, "Error is a 4-byte int enumeration");
static_assert(underlying_is<StreamType, int>, "StreamType is a 4-byte int enumeration");
static_assert(underlying_is<AudioCodecType, unsigned int>, "");
static_assert(underlying_is<VideoRotation, unsigned int>, "");
static_assert(underlying_is<VideoCodecType, unsigned int>, "");
static_assert(underlying_is<VideoPixelFormat, unsigned int>, "");
static_assert(underlying_is<WatermarkType, unsigned int>, "");
static_assert(underlying_is<VONUScene, unsigned int>, "");
static_assert(underlying_is<VONURole, unsigned int>, "");
static_assert(underlying_is<ConnectionState, unsigned int>, "");
static_assert(underlying_is<AudioObtainMethod, unsigned int>, "");
static_assert(underlying_is<NetworkQuality, unsigned int>, "");

static_assert(ERR_OK == 0 && ERR_FAILED == -1 && ERR_INVALID_PARAMETER == -2 && ERR_INVALID_OPERATION == -3 &&
                  ERR_NOT_SUPPORTED == -4 && ERR_REQUEST_SERVER_TIMEOUT == -6 && ERR_SERVER_PROCESS_FAILED == -7,
              "");
static_assert(ERR_READ_TRY_AGAIN == -102 && ERR_NETWORK_UNREACHABLE == -103 && ERR_ENTER_ROOM_FAILED == -3301, "");
static_assert(ERR_INVALID_SDK_APP_ID == -3317 && ERR_INVALID_ROOM_ID == -3318 && ERR_INVALID_USER_ID == -3319 &&
                  ERR_INVALID_USER_SIG == -3320,
              "");
static_assert(ERR_SERVICE_SUSPENDED == -100013 && ERR_BANNED_BY_SERVER == -205, "");
static_assert(STREAM_TYPE_UNKNOWN == -1 && STREAM_TYPE_AUDIO == 1 && STREAM_TYPE_VIDEO_HIGH == 2 &&
                  STREAM_TYPE_VIDEO_LOW == 3 && STREAM_TYPE_VIDEO_AUX == 7,
              "");
static_assert(VIDEO_ROTATION_90 == 1 && VIDEO_ROTATION_180 == 2 && VIDEO_ROTATION_270 == 3, "quarter turns");
static_assert(VIDEO_PIXEL_FORMAT_YUV420p == 0 && VIDEO_PIXEL_FORMAT_YUVA420p == 1 && VIDEO_PIXEL_FORMAT_RGBA == 2, "");
static_assert(kWatermarkImage == 1 && kWatermarkText == 2 && kWatermarkTimestamp == 3, "");
static_assert(VONU_SCENE_VIDEO_CALL == 0 && VONU_SCENE_RECORD == 4 && VONU_ROLE_AUDIENCE == 1, "");
static_assert(CONNECTION_STATE_INIT == 0 && CONNECTION_STATE_CONNECTED == 3, "");
static_assert(AUDIO_OBTAIN_METHOD_GET == 0 && AUDIO_OBTAIN_METHOD_CALLBACK == 1, "");
static_assert(NETWORK_QUALITY_UNKNOWN == 0 && NETWORK_QUALITY_DOWN == 6, "");

// VonuString is exactly one pointer and cannot be moved other than by copying.
static_assert(sizeof(VonuString) == sizeof(void*), "");
static_assert(!std::is_trivially_copyable<VonuString>::value, "");

// Field order and widths of the records whose layout is fixed.
static_assert(offsetof(RoomParams, sdk_app_id) == 0, "");
static_assert(offsetof(RoomParams, user_id) == 8 && offsetof(RoomParams, user_sig) == 16, "");
static_assert(offsetof(RoomParams, room_id) == 24 && offsetof(RoomParams, str_room_id) == 32, "");
static_assert(offsetof(RoomParams, custom_data) == 40 && offsetof(RoomParams, decryption_delegate) == 48 &&
                  offsetof(RoomParams, encryption_delegate) == 56 && sizeof(RoomParams) == 64,
              "");
static_assert(offsetof(EnterRoomParams, room) == 0 && offsetof(EnterRoomParams, scene) == 64 &&
                  offsetof(EnterRoomParams, role) == 68 && offsetof(EnterRoomParams, private_map_key) == 72 &&
                  offsetof(EnterRoomParams, audio_obtain_params) == 80,
              "");
static_assert(offsetof(EnterRoomParams, use_pixel_frame_input) == 104 &&
                  offsetof(EnterRoomParams, use_pixel_frame_output) == 105,
              "");
static_assert(sizeof(AudioObtainParams) == 24 && offsetof(AudioObtainParams, enable_remote_audio_mix) == 4 &&
                  offsetof(AudioObtainParams, output_audio_codec_type) == 20,
              "");
static_assert(sizeof(AudioEncodeParams) == 20 && offsetof(AudioEncodeParams, need_encode) == 16, "");
static_assert(sizeof(VideoEncodeParams) == 12 && sizeof(VADParams) == 1, "");
static_assert(sizeof(NetworkQualityInfo) == 16 && offsetof(NetworkQualityInfo, quality) == 8, "");
static_assert(sizeof(UserInfo) == 8, "");
// Frames have no virtual members: public fields first, the payload handle last.
static_assert(offsetof(AudioFrame, sample_rate) == 0 && offsetof(AudioFrame, codec) == 12 &&
                  offsetof(AudioFrame, pts) == 16 && offsetof(AudioFrame, has_voice) == 20 && sizeof(AudioFrame) == 32,
              "");
static_assert(offsetof(VideoFrame, dts) == 4 && offsetof(VideoFrame, is_key_frame) == 8 &&
                  offsetof(VideoFrame, codec) == 12 && offsetof(VideoFrame, rotation) == 16 && sizeof(VideoFrame) == 32,
              "");
static_assert(offsetof(PixelFrame, width) == 4 && offsetof(PixelFrame, height) == 8 &&
                  offsetof(PixelFrame, format) == 12 && offsetof(PixelFrame, rotation) == 16 &&
                  sizeof(PixelFrame) == 32,
              "");

// The interfaces: abstract delegate, cloud ended only through Destroy, settings never built.
static_assert(std::is_abstract<VONUCloudDelegate>::value && std::has_virtual_destructor<VONUCloudDelegate>::value, "");
static_assert(std::is_abstract<VONUCloud>::value && !std::is_destructible<VONUCloud>::value, "");
static_assert(!std::is_destructible<ostrel::live::ZuLiveSDK>::value, "");
static_assert(!std::is_move_constructible<VonuString>::value || std::is_copy_constructible<VonuString>::value, "");

}  // namespace

#pragma GCC diagnostic pop

// The three callbacks with bodies in the header do nothing and may be left alone by a delegate.
TEST(HeaderLayout, DefaultedCallbacksAreHarmless) {
    cloud_test::QuietDelegate delegate;
    VONUCloudDelegate& base = delegate;
    base.OnUserVoiceVolume(nullptr, 0, 0);
    base.OnReceiveAsrMessage(AsrMessage());
    base.OnAsrServiceError(-1, nullptr);
    SUCCEED();
}
