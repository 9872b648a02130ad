// ostrel_loopback_inject: one delegate callback, built from injected arguments.
//
// The callbacks are the delegate event table's, made from its signatures: each parameter type
// knows how it is read from the injected arguments (Param below).
// Reading rules, by parameter type:
//   integers, enumerations   an integer that fits the (underlying) type
//   bool                     an integer, non-zero is true
//   const char*              bytes, or null for a null pointer (a user id, or a message whose
//                            length is the size_t parameter that follows)
//   size_t                   nothing: the length of the bytes or list read just before
//   const UserInfo&          the user id, as bytes or null
//   const ...Frame&          the payload, as bytes (null: an empty payload); a media event
//   NetworkQualityInfo*      followed by size_t: a list of (user id, quality) pairs;
//                            otherwise one pair, or null for a null pointer
#include <cstdint>
#include <limits>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "call_recorder.h"
#include "control/loopback_control.h"
#include "delegate_events.h"
#include "engine/test_controls.h"
#include "record_access.h"

using namespace ostrel::vonu;
namespace events = ostrel::loopback::events;
using D = VONUCloudDelegate;

namespace {

enum ArgKind : int32_t {
    kNull = 0,     // None: a null pointer
    kInteger = 1,  // an int (enumerations, flags and counts too)
    kBytes = 2,    // bytes: a user id, a payload
    kPair = 3,     // (user id bytes or None in data, quality in integer)
    kList = 4,     // a list of pairs
};

// The injected arguments, read in order.
struct Reader {
    const ostrel_loopback_arg* args;  // all of them
    size_t count;                     // how many
    size_t next = 0;                  // the next to read
    size_t last_length = 0;           // length of the last bytes or list read
    const ostrel_loopback_arg* take() { return next < count ? &args[next++] : nullptr; }
};

// The integer type behind T: T itself, or an enumeration's underlying type.
template <typename T, bool = std::is_enum<T>::value>
struct Underlying {
    using type = T;
};
template <typename T>
struct Underlying<T, true> {
    using type = std::underlying_type_t<T>;
};

template <typename T>
bool read_int(const ostrel_loopback_arg* a, T& out) {
    if (a == nullptr || a->kind != kInteger) return false;
    // Enumerations take any value of their underlying type.
    using Wide = typename Underlying<T>::type;
    if (a->integer < static_cast<int64_t>(std::numeric_limits<Wide>::min()) ||
        (a->integer > 0 && static_cast<uint64_t>(a->integer) > static_cast<uint64_t>(std::numeric_limits<Wide>::max())))
        return false;
    out = static_cast<T>(static_cast<Wide>(a->integer));
    return true;
}

// Bytes or null; `null` says which.
bool read_bytes(const ostrel_loopback_arg* a, std::string& out, bool& null) {
    if (a == nullptr) return false;
    null = a->kind == kNull;
    if (null) return true;
    if (a->kind != kBytes || (a->data == nullptr && a->size != 0)) return false;
    out.assign(a->data ? a->data : "", a->size);
    return true;
}

bool read_quality(const ostrel_loopback_arg* a, NetworkQualityInfo& out) {
    if (a->kind != kPair) return false;
    NetworkQuality q;
    const ostrel_loopback_arg n{kInteger, a->integer, nullptr, 0, nullptr, 0};
    if (!read_int(&n, q)) return false;
    if (a->data == nullptr) {
        out.user_id = static_cast<const char*>(nullptr);
    } else {
        out.user_id = std::string(a->data, a->size).c_str();
    }
    out.quality = q;
    return true;
}

// One parameter of type T (followed by a parameter of type Next): read() takes it from the
// injected arguments, get() passes it to the delegate; kMedia and media_bytes() tell a frame
// and its payload size.
template <typename T, typename Next, typename = void>
struct Param;

template <typename T, typename Next>
struct Param<T, Next,
             std::enable_if_t<(std::is_integral<T>::value || std::is_enum<T>::value) && !std::is_same<T, bool>::value &&
                              !std::is_same<T, size_t>::value>> {
    T value{};  // as read
    bool read(Reader& r) { return read_int(r.take(), value); }
    T get() const { return value; }
    static constexpr bool kMedia = false;
    size_t media_bytes() const { return 0; }
};

template <typename Next>
struct Param<bool, Next> {
    bool value = false;  // as read
    bool read(Reader& r) {
        const ostrel_loopback_arg* a = r.take();
        if (a == nullptr || a->kind != kInteger) return false;
        value = a->integer != 0;
        return true;
    }
    bool get() const { return value; }
    static constexpr bool kMedia = false;
    size_t media_bytes() const { return 0; }
};

template <typename Next>
struct Param<size_t, Next> {
    size_t value = 0;  // the length read before
    bool read(Reader& r) {
        value = r.last_length;
        return true;
    }
    size_t get() const { return value; }
    static constexpr bool kMedia = false;
    size_t media_bytes() const { return 0; }
};

template <typename Next>
struct Param<const char*, Next> {
    bool null = true;   // a null pointer
    std::string value;  // the bytes otherwise
    bool read(Reader& r) {
        if (!read_bytes(r.take(), value, null)) return false;
        r.last_length = null ? 0 : value.size();
        return true;
    }
    const char* get() const { return null ? nullptr : value.c_str(); }
    static constexpr bool kMedia = false;
    size_t media_bytes() const { return 0; }
};

template <typename Next>
struct Param<const UserInfo&, Next> {
    Param<const char*, void> id;  // the user id
    bool read(Reader& r) { return id.read(r); }
    UserInfo get() const { return UserInfo{VonuString(id.get())}; }
    static constexpr bool kMedia = false;
    size_t media_bytes() const { return 0; }
};

template <typename Frame>
struct FrameParam {
    std::shared_ptr<const Frame> frame;  // shared by every copy of the event
    bool read(Reader& r) {
        std::string bytes;
        bool null = false;
        if (!read_bytes(r.take(), bytes, null)) return false;
        auto f = std::make_shared<Frame>();
        ostrel::loopback::set_payload(*f, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
        frame = std::move(f);
        return true;
    }
    const Frame& get() const { return *frame; }
    static constexpr bool kMedia = true;
    size_t media_bytes() const { return ostrel::loopback::frame_payload(*frame).size(); }
};
template <typename Next>
struct Param<const VideoFrame&, Next> : FrameParam<VideoFrame> {};
template <typename Next>
struct Param<const PixelFrame&, Next> : FrameParam<PixelFrame> {};
template <typename Next>
struct Param<const AudioFrame&, Next> : FrameParam<AudioFrame> {};

template <typename Next>
struct Param<NetworkQualityInfo*, Next> {
    static constexpr bool kList = std::is_same<Next, size_t>::value;  // an array and its count
    std::vector<NetworkQualityInfo> items;                            // as read
    bool null = false;                                                // a null pointer (single form only)
    bool read(Reader& r) {
        const ostrel_loopback_arg* a = r.take();
        if (a == nullptr) return false;
        if (kList) {
            if (a->kind != ArgKind::kList || (a->items == nullptr && a->count != 0)) return false;
            items.resize(a->count);
            for (size_t i = 0; i < a->count; ++i) {
                if (!read_quality(&a->items[i], items[i])) return false;
            }
            r.last_length = items.size();
            return true;
        }
        null = a->kind == kNull;
        if (null) return true;
        items.resize(1);
        return read_quality(a, items[0]);
    }
    NetworkQualityInfo* get() { return null || items.empty() ? nullptr : items.data(); }
    static constexpr bool kMedia = false;
    size_t media_bytes() const { return 0; }
};

using Build = int (*)(const ostrel_loopback_arg* args, size_t count, events::Event& event);

// Builds the event of callback M from the injected arguments: 0, or -2 when they do not fit.
template <auto M>
struct Injector;

template <typename... Ps, void (D::*M)(Ps...)>
struct Injector<M> {
    template <size_t... I>
    static auto params_for(std::index_sequence<I...>)
        -> std::tuple<Param<Ps, std::tuple_element_t<I + 1, std::tuple<Ps..., void>>>...>;
    using Params = decltype(params_for(std::index_sequence_for<Ps...>{}));

    static int build(const ostrel_loopback_arg* args, size_t count, events::Event& event) {
        Params params;
        Reader reader{args, count};
        const bool read = std::apply([&](auto&... p) { return (true && ... && p.read(reader)); }, params);
        if (!read || reader.next != count) return -2;
        event.bytes = std::apply([](const auto&... p) { return (size_t{0} + ... + p.media_bytes()); }, params);
        event.media =
            std::apply([](const auto&... p) { return (false || ... || std::decay_t<decltype(p)>::kMedia); }, params);
        event.deliver = [params](D& d) mutable { std::apply([&](auto&... p) { (d.*M)(p.get()...); }, params); };
        return 0;
    }
};

// Every event of the delegate, by its Python name.
const std::map<std::string, Build>& callbacks() {
#define OSTREL_INJECTOR(member, python_name, policy, parameters, python_arguments) \
    {#python_name, &Injector<static_cast<void(D::*) parameters>(&D::member)>::build},
    static const std::map<std::string, Build> table = {OSTREL_DELEGATE_EVENTS(OSTREL_INJECTOR)};
#undef OSTREL_INJECTOR
    return table;
}

}  // namespace

extern "C" {

int ostrel_loopback_inject(const char* user_id, size_t user_id_size, const char* event, const ostrel_loopback_arg* args,
                           size_t count) {
    // Reading arguments fills records (a NetworkQualityInfo's user id): not calls of the application.
    ostrel::loopback::call_recorder::Mute mute;
    if (event == nullptr) return -1;
    const auto& table = callbacks();
    auto it = table.find(event);
    if (it == table.end()) return -1;
    if (count > 0 && args == nullptr) return -2;
    events::Event e;
    e.name = it->first.c_str();
    if (it->second(args, count, e) != 0) return -2;
    if (user_id == nullptr) return ostrel::loopback::engine::inject(nullptr, e);
    const std::string id(user_id, user_id_size);
    return ostrel::loopback::engine::inject(&id, e);
}

}  // extern "C"
