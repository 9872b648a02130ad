// Live codecs of the engine, counted by kind for the control interface (a test sees that an
// encoder is released once no receiver needs it). Every codec the engine holds is wrapped in
// Counted, which counts it from construction to destruction.
#ifndef OSTREL_LOOPBACK_ENGINE_CODEC_COUNT_H_
#define OSTREL_LOOPBACK_ENGINE_CODEC_COUNT_H_

#include <utility>

namespace ostrel::loopback::engine {

enum class CodecKind { opus_encoder = 0, opus_decoder = 1, h264_encoder = 2, h264_decoder = 3 };
constexpr int kCodecKinds = 4;

void count_codec(CodecKind kind, int change);
// Codecs of that kind alive now; -1 for a kind out of range.
int live_codecs(int kind);
// In a fork child: the parent's codecs are not the child's.
void forget_codecs_in_child();

// A codec, counted while it lives. Neither copied nor moved: it is made in place.
template <typename Codec, CodecKind Kind>
class Counted {
public:
    template <typename... Args>
    explicit Counted(Args&&... args) : codec(std::forward<Args>(args)...) {
        count_codec(Kind, 1);
    }
    ~Counted() { count_codec(Kind, -1); }
    Counted(const Counted&) = delete;
    Counted& operator=(const Counted&) = delete;

    Codec codec;  // the codec itself
};

}  // namespace ostrel::loopback::engine

#endif  // OSTREL_LOOPBACK_ENGINE_CODEC_COUNT_H_
