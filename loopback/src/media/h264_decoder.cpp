#include "media/h264_decoder.h"

#include <wels/codec_api.h>

#include <libyuv/convert.h>

#include <climits>
#include <stdexcept>

#include "media/openh264_log.h"

namespace ostrel {
namespace loopback {
namespace media {

namespace {

// Passed to the log callback as its context.
char kDecoderLogName[] = "H264Decoder";

// Hands out a decoded picture the library holds back, if there is one; true if it did.
bool release_held_picture(ISVCDecoder& decoder, uint8_t* planes[3], SBufferInfo& info) {
    // Above the baseline profile (x264 writes High even without B-frames) the library keeps a
    // decoded picture back for display reordering, and waits for a later picture to release
    // it, although a stream without B-frames has nothing to reorder. Flushing hands it out
    // now; once one picture has been written out this way, the library releases every later
    // picture of such a stream as it is decoded. With B-frames, pictures thus come out in
    // decoding order.
    int held = 0;
    if (decoder.GetOption(DECODER_OPTION_NUM_OF_FRAMES_REMAINING_IN_BUFFER, &held) != cmResultSuccess || held <= 0)
        return false;
    info = SBufferInfo{};
    return decoder.FlushFrame(planes, &info) == dsErrorFree && info.iBufferStatus == 1;
}

}  // namespace

void H264Decoder::Destroy::operator()(ISVCDecoder* decoder) const {
    decoder->Uninitialize();
    WelsDestroyDecoder(decoder);
}

H264Decoder::H264Decoder() {
    ISVCDecoder* raw = nullptr;
    if (WelsCreateDecoder(&raw) != 0 || raw == nullptr) throw std::runtime_error("H264Decoder: cannot create");
    decoder_.reset(raw);
    route_openh264_log(*decoder_, DECODER_OPTION_TRACE_CALLBACK, DECODER_OPTION_TRACE_CALLBACK_CONTEXT,
                       DECODER_OPTION_TRACE_LEVEL, kDecoderLogName);
    int threads = 0;  // decode on the caller's thread
    decoder_->SetOption(DECODER_OPTION_NUM_OF_THREADS, &threads);
    SDecodingParam p{};
    p.sVideoProperty.size = sizeof(p.sVideoProperty);
    p.sVideoProperty.eVideoBsType = VIDEO_BITSTREAM_AVC;
    p.eEcActiveIdc = ERROR_CON_DISABLE;  // report a broken stream rather than show a guess
    if (decoder_->Initialize(&p) != cmResultSuccess) throw std::runtime_error("H264Decoder: parameters refused");
}

H264Decoder::Result H264Decoder::decode(const uint8_t* data, size_t bytes, I420Image& out) {
    if (data == nullptr || bytes == 0 || bytes > static_cast<size_t>(INT_MAX)) return Result::kError;
    uint8_t* planes[3] = {nullptr, nullptr, nullptr};
    SBufferInfo info{};
    const DECODING_STATE state = decoder_->DecodeFrameNoDelay(data, static_cast<int>(bytes), planes, &info);
    if (state != dsErrorFree) return Result::kError;
    if (info.iBufferStatus != 1 && !release_held_picture(*decoder_, planes, info)) return Result::kNoPicture;
    const SSysMEMBuffer& pic = info.UsrData.sSystemBuffer;
    out.resize(pic.iWidth, pic.iHeight);
    const int cw = chroma_size(pic.iWidth);
    // The library's planes share one chroma stride and are valid until its next call.
    libyuv::I420Copy(planes[0], pic.iStride[0], planes[1], pic.iStride[1], planes[2], pic.iStride[1], out.y(),
                     pic.iWidth, out.u(), cw, out.v(), cw, pic.iWidth, pic.iHeight);
    return Result::kPicture;
}

}  // namespace media
}  // namespace loopback
}  // namespace ostrel
