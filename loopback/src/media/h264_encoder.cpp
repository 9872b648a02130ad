#include "media/h264_encoder.h"

#include <wels/codec_api.h>

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "media/openh264_log.h"

namespace ostrel {
namespace loopback {
namespace media {

namespace {

constexpr int kMaxSide = 4096;
constexpr int kMinH264Bitrate = 64000;
// Passed to the log callback as its context.
char kEncoderLogName[] = "H264Encoder";

}  // namespace

void H264Encoder::Destroy::operator()(ISVCEncoder* encoder) const {
    encoder->Uninitialize();
    WelsDestroySVCEncoder(encoder);
}

bool H264Encoder::supports(int width, int height) {
    return width >= 16 && height >= 16 && width <= kMaxSide && height <= kMaxSide && width % 2 == 0 && height % 2 == 0;
}

int H264Encoder::default_bitrate(int width, int height, double frame_rate) {
    const double bps = 0.1 * width * height * frame_rate;
    return static_cast<int>(std::clamp(bps, static_cast<double>(kMinH264Bitrate), 1e9));
}

H264Encoder::H264Encoder(const H264EncoderConfig& config) : config_(config) {
    if (!supports(config.width, config.height)) throw std::invalid_argument("H264Encoder: unsupported picture size");
    if (!(config.frame_rate > 0) || !(config.gop_seconds > 0) || config.bitrate_bps < 0) {
        throw std::invalid_argument("H264Encoder: frame rate, bitrate or GOP out of range");
    }
    if (config_.bitrate_bps == 0) config_.bitrate_bps = default_bitrate(config.width, config.height, config.frame_rate);

    ISVCEncoder* raw = nullptr;
    if (WelsCreateSVCEncoder(&raw) != 0 || raw == nullptr) throw std::runtime_error("H264Encoder: cannot create");
    // Owned from here on; the deleter's Uninitialize is harmless before InitializeExt.
    encoder_.reset(raw);
    route_openh264_log(*encoder_, ENCODER_OPTION_TRACE_CALLBACK, ENCODER_OPTION_TRACE_CALLBACK_CONTEXT,
                       ENCODER_OPTION_TRACE_LEVEL, kEncoderLogName);

    SEncParamExt p;
    encoder_->GetDefaultParams(&p);
    p.iUsageType = CAMERA_VIDEO_REAL_TIME;
    p.iPicWidth = config_.width;
    p.iPicHeight = config_.height;
    p.iTargetBitrate = config_.bitrate_bps;
    p.iMaxBitrate = UNSPECIFIED_BIT_RATE;
    p.iRCMode = RC_BITRATE_MODE;
    p.fMaxFrameRate = static_cast<float>(config_.frame_rate);
    p.bEnableFrameSkip = false;  // one access unit per picture, always
    p.iTemporalLayerNum = 1;
    p.iSpatialLayerNum = 1;
    p.uiIntraPeriod = static_cast<unsigned int>(gop_frames());
    p.bEnableSceneChangeDetect = false;  // key frames at the GOP and on request only
    p.eSpsPpsIdStrategy = CONSTANT_ID;   // a receiver joining at any IDR needs nothing older
    p.iEntropyCodingModeFlag = 0;        // CAVLC: baseline
    p.iMultipleThreadIdc = 1;            // no worker threads
    SSpatialLayerConfig& layer = p.sSpatialLayers[0];
    layer.iVideoWidth = config_.width;
    layer.iVideoHeight = config_.height;
    layer.fFrameRate = static_cast<float>(config_.frame_rate);
    layer.iSpatialBitrate = config_.bitrate_bps;
    layer.iMaxSpatialBitrate = UNSPECIFIED_BIT_RATE;
    layer.uiProfileIdc = PRO_BASELINE;
    layer.sSliceArgument.uiSliceMode = SM_SINGLE_SLICE;
    if (encoder_->InitializeExt(&p) != cmResultSuccess) throw std::runtime_error("H264Encoder: parameters refused");
    int format = videoFormatI420;
    encoder_->SetOption(ENCODER_OPTION_DATAFORMAT, &format);
}

int H264Encoder::gop_frames() const {
    return std::max(1, static_cast<int>(std::lround(config_.gop_seconds * config_.frame_rate)));
}

bool H264Encoder::encode(const I420View& picture, uint32_t pts_ms, H264AccessUnit& out) {
    out.data.clear();
    out.idr = false;
    if (picture.width != config_.width || picture.height != config_.height || picture.y == nullptr) return false;
    SSourcePicture src{};
    src.iColorFormat = videoFormatI420;
    src.iPicWidth = picture.width;
    src.iPicHeight = picture.height;
    // The library reads the planes only; its interface is not const-correct.
    src.pData[0] = const_cast<uint8_t*>(picture.y);
    src.pData[1] = const_cast<uint8_t*>(picture.u);
    src.pData[2] = const_cast<uint8_t*>(picture.v);
    src.iStride[0] = picture.stride_y;
    src.iStride[1] = picture.stride_u;
    src.iStride[2] = picture.stride_v;
    src.uiTimeStamp = pts_ms;
    SFrameBSInfo info{};
    if (encoder_->EncodeFrame(&src, &info) != cmResultSuccess) return false;
    if (info.eFrameType == videoFrameTypeInvalid || info.eFrameType == videoFrameTypeSkip) return false;
    // Each layer's NAL units lie back to back, start codes included, in the library's buffer.
    for (int l = 0; l < info.iLayerNum; ++l) {
        const SLayerBSInfo& layer = info.sLayerInfo[l];
        size_t bytes = 0;
        for (int n = 0; n < layer.iNalCount; ++n) bytes += static_cast<size_t>(layer.pNalLengthInByte[n]);
        out.data.insert(out.data.end(), layer.pBsBuf, layer.pBsBuf + bytes);
    }
    out.idr = info.eFrameType == videoFrameTypeIDR;
    return !out.data.empty();
}

void H264Encoder::force_key_frame() { encoder_->ForceIntraFrame(true); }

bool H264Encoder::set_bitrate(int bitrate_bps) {
    if (bitrate_bps <= 0) return false;
    SBitrateInfo info{};
    info.iLayer = SPATIAL_LAYER_ALL;
    info.iBitrate = bitrate_bps;
    if (encoder_->SetOption(ENCODER_OPTION_BITRATE, &info) != cmResultSuccess) return false;
    config_.bitrate_bps = bitrate_bps;
    return true;
}

bool H264Encoder::set_frame_rate(double frame_rate) {
    if (!(frame_rate > 0)) return false;
    float rate = static_cast<float>(frame_rate);
    if (encoder_->SetOption(ENCODER_OPTION_FRAME_RATE, &rate) != cmResultSuccess) return false;
    config_.frame_rate = frame_rate;
    return apply_gop();
}

bool H264Encoder::set_gop_seconds(double gop_seconds) {
    if (!(gop_seconds > 0)) return false;
    const double old = config_.gop_seconds;
    config_.gop_seconds = gop_seconds;
    if (apply_gop()) return true;
    config_.gop_seconds = old;
    return false;
}

bool H264Encoder::apply_gop() {
    int frames = gop_frames();
    return encoder_->SetOption(ENCODER_OPTION_IDR_INTERVAL, &frames) == cmResultSuccess;
}

}  // namespace media
}  // namespace loopback
}  // namespace ostrel
