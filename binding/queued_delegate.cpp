// The kept form of each argument the delegate event table passes, and its conversion back: a
// C string is kept as text (or as null), a record or frame as a copy made with its own copy
// constructor, the table's helpers as what they return here, anything else (numbers, enums) as
// the value. On the consumer's thread, with the GIL, each becomes what the Python delegate's
// callback makes of the original (event_call.h's to_python; records and frames adopted as they
// are, without a second copy).
#include "queued_delegate.h"

#include <tuple>
#include <type_traits>
#include <utility>

#include "event_call.h"
#include "internals.h"

using ostrel::vonu::NetworkQualityInfo;

namespace ostrel_binding {

const char* const kQueuedEventNames[kQueuedEventRows] = {
#define OSTREL_EVENT_NAME(member, python_name, policy, parameters, python_arguments) #python_name,
    OSTREL_DELEGATE_EVENTS(OSTREL_EVENT_NAME)
#undef OSTREL_EVENT_NAME
};

namespace {

// A copy of a record or frame, owned until a Python object adopts it.
template <typename T>
struct IsOwnedRecord : std::false_type {};
template <typename T>
struct IsOwnedRecord<std::unique_ptr<T>> : std::true_type {};

using QualityList = std::vector<NetworkQualityInfo>;

// What the table's helpers return here: kept as it is.
template <typename T>
constexpr bool kIsKeptAlready = IsOwnedRecord<T>::value || std::is_same_v<T, QueuedDelegate::Text> ||
                                std::is_same_v<T, QueuedDelegate::Bytes> || std::is_same_v<T, QualityList>;

template <typename T>
constexpr bool kIsFrame = std::is_same_v<T, ostrel::vonu::AudioFrame> || std::is_same_v<T, ostrel::vonu::VideoFrame> ||
                          std::is_same_v<T, ostrel::vonu::PixelFrame>;

// One argument as kept in the queue.
template <typename T>
auto keep(T&& value) {
    using Plain = std::decay_t<T>;
    if constexpr (kIsKeptAlready<Plain>) {
        return Plain(std::forward<T>(value));
    } else if constexpr (std::is_same_v<Plain, const char*> || std::is_same_v<Plain, char*>) {
        return value == nullptr ? QueuedDelegate::Text{true, {}} : QueuedDelegate::Text{false, value};
    } else if constexpr (std::is_class_v<Plain>) {
        return std::make_unique<Plain>(value);
    } else {
        static_assert(std::is_arithmetic_v<Plain> || std::is_enum_v<Plain>, "an argument kind the queue does not keep");
        return value;
    }
}

// A kept argument as the Python delegate's callback would pass the original.
template <typename Kept>
py::object from_kept(Kept& kept) {
    if constexpr (std::is_same_v<Kept, QueuedDelegate::Text>) {
        return to_python(kept.null ? nullptr : kept.text.c_str());
    } else if constexpr (std::is_same_v<Kept, QueuedDelegate::Bytes>) {
        return py::bytes(kept.bytes);
    } else if constexpr (IsOwnedRecord<Kept>::value) {
        return internals::record_adopt(std::move(kept));
    } else if constexpr (std::is_same_v<Kept, QualityList>) {
        py::list records;
        for (const NetworkQualityInfo& quality : kept) records.append(internals::record_copy(quality));
        return std::move(records);
    } else {
        return to_python(kept);
    }
}

// The payload bytes of a kept frame; 0 for anything else.
template <typename Kept>
size_t frame_bytes(const Kept& kept) {
    if constexpr (IsOwnedRecord<Kept>::value) {
        if constexpr (kIsFrame<typename Kept::element_type>) return kept->size();
    }
    return 0;
}

// One queued event of a row whose kept arguments are the tuple `Kept`.
template <typename Kept>
class KeptEvent final : public QueuedEvent {
public:
    KeptEvent(uint64_t key, size_t row, size_t bytes, std::shared_ptr<DeliveryAccount> account, Kept kept)
        : QueuedEvent(key, row, bytes, std::move(account)), kept_(std::move(kept)) {}

    py::tuple arguments() override {
        return std::apply([](auto&... kept) { return py::make_tuple(from_kept(kept)...); }, kept_);
    }

private:
    Kept kept_;
};

}  // namespace

// The table's Python arguments, kept (called with them in the callbacks below).
template <typename... Args>
auto keep_arguments(Args&&... args) {
    return std::make_tuple(keep(std::forward<Args>(args))...);
}

QueuedDelegate::QueuedDelegate(std::shared_ptr<EventQueue> queue, uint64_t key, size_t frame_bytes_limit)
    : queue_(std::move(queue)), key_(key), account_(std::make_shared<DeliveryAccount>(frame_bytes_limit)) {}

QueuedDelegate::Bytes QueuedDelegate::message_bytes(const char* message, size_t length) {
    // A null message carries no bytes whatever its stated length.
    return Bytes{message == nullptr ? std::string() : std::string(message, length)};
}

std::unique_ptr<NetworkQualityInfo> QueuedDelegate::quality_record(const NetworkQualityInfo* quality) {
    return quality != nullptr ? std::make_unique<NetworkQualityInfo>(*quality) : std::make_unique<NetworkQualityInfo>();
}

std::vector<NetworkQualityInfo> QueuedDelegate::quality_list(const NetworkQualityInfo* qualities, size_t count) {
    if (qualities == nullptr) return {};
    return std::vector<NetworkQualityInfo>(qualities, qualities + count);
}

template <typename Kept>
void QueuedDelegate::post(QueuedEventRow row, Kept kept) {
    const size_t bytes = std::apply([](const auto&... each) { return (size_t{0} + ... + frame_bytes(each)); }, kept);
    if (bytes != 0 && account_->frame_bytes.load(std::memory_order_relaxed) + bytes > account_->frame_bytes_limit) {
        account_->frames_lost.fetch_add(1, std::memory_order_relaxed);
        queue_->note_frame_lost();
        return;
    }
    queue_->push(std::make_unique<KeptEvent<Kept>>(key_, row, bytes, account_, std::move(kept)));
}

#define OSTREL_DEFINE_QUEUED_OVERRIDE(member, python_name, policy, parameters, python_arguments) \
    void QueuedDelegate::member parameters { post(kRow##python_name, keep_arguments python_arguments); }
OSTREL_DELEGATE_EVENTS(OSTREL_DEFINE_QUEUED_OVERRIDE)
#undef OSTREL_DEFINE_QUEUED_OVERRIDE

}  // namespace ostrel_binding
