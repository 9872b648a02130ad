// H.264 decoding of Annex B access units into I420 pictures.
//
// Design: RAII over one OpenH264 decoder without threads of its own, decoding each access
// unit as it comes and handing out its picture at once: a picture the library holds back for
// display reordering is flushed out (streams of real-time senders have no B-frames; with
// B-frames, pictures come out in decoding order). The
// decoded picture is copied out of the library's buffer into the caller's image, so it stays
// valid after the next call; the image grows only when the picture size does. A stream that
// breaks (a lost or corrupt access unit) reports an error, and the caller should ask the
// sender for a key frame; the decoder picks up again at the next IDR.
//
// Thread safety: none of its own; one stream, one thread at a time.
#ifndef OSTREL_LOOPBACK_MEDIA_H264_DECODER_H_
#define OSTREL_LOOPBACK_MEDIA_H264_DECODER_H_

#include <cstddef>
#include <cstdint>
#include <memory>

#include "media/i420.h"

class ISVCDecoder;  // OpenH264

namespace ostrel {
namespace loopback {
namespace media {

class H264Decoder {
public:
    enum class Result {
        kPicture,    // `out` holds the decoded picture at its size
        kNoPicture,  // accepted, but nothing to show yet (parameter sets alone, say)
        kError,      // not decodable; wait for, or ask for, a key frame
    };

    // Throws std::runtime_error when OpenH264 fails to set up.
    H264Decoder();

    H264Decoder(H264Decoder&&) noexcept = default;
    H264Decoder& operator=(H264Decoder&&) noexcept = default;
    H264Decoder(const H264Decoder&) = delete;
    H264Decoder& operator=(const H264Decoder&) = delete;
    ~H264Decoder() = default;

    // Decodes one access unit. `out` changes only when the result is kPicture.
    Result decode(const uint8_t* data, size_t bytes, I420Image& out);

private:
    // Deleter of the unique_ptr: uninitialises and destroys the library's decoder.
    struct Destroy {
        void operator()(ISVCDecoder* decoder) const;
    };

    std::unique_ptr<ISVCDecoder, Destroy> decoder_;  // the OpenH264 decoder, initialised
};

}  // namespace media
}  // namespace loopback
}  // namespace ostrel

#endif  // OSTREL_LOOPBACK_MEDIA_H264_DECODER_H_
