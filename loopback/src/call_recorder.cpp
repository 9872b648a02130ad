#include "call_recorder.h"

#include <deque>
#include <mutex>
#include <utility>

namespace ostrel {
namespace loopback {
namespace call_recorder {

std::atomic<bool> g_enabled{false};
thread_local int t_mute_depth = 0;

namespace {

struct Store {
    std::mutex mutex;               // guards the fields below
    std::deque<std::string> calls;  // the newest calls, oldest first, within the bounds
    size_t bytes = 0;               // text in `calls`
    uint64_t forgotten = 0;         // calls let go since the last clear()
};

// Never destroyed: SDK threads may record until the process ends.
Store& store() {
    static Store* const s = new Store();
    return *s;
}

}  // namespace

std::string bytes_literal(const void* data, size_t length) {
    static const char kHex[] = "0123456789abcdef";
    const auto* p = static_cast<const unsigned char*>(data);
    std::string out = "b'";
    out.reserve(length + 3);
    for (size_t i = 0; i < length; ++i) {
        unsigned char c = p[i];
        if (c == '\\' || c == '\'') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c >= 0x20 && c < 0x7f) {
            out += static_cast<char>(c);
        } else {
            out += "\\x";
            out += kHex[c >> 4];
            out += kHex[c & 0xf];
        }
    }
    out += '\'';
    return out;
}

void Dict::key(const char* k) {
    if (text_.size() > 1) text_ += ", ";
    text_ += '\'';
    text_ += k;
    text_ += "': ";
}

Dict& Dict::none(const char* k) {
    key(k);
    text_ += "None";
    return *this;
}

Dict& Dict::cstr(const char* k, const char* value) {
    key(k);
    text_ += value ? bytes_literal(value, std::char_traits<char>::length(value)) : std::string("None");
    return *this;
}

Dict& Dict::payload(const char* k, const void* data, size_t length) {
    key(k);
    text_ += data ? bytes_literal(data, length) : std::string("b''");
    key((std::string(k) + "_null").c_str());
    text_ += data ? "False" : "True";
    return *this;
}

Dict& Dict::integer(const char* k, long long value) {
    key(k);
    text_ += std::to_string(value);
    return *this;
}

Dict& Dict::uinteger(const char* k, unsigned long long value) {
    key(k);
    text_ += std::to_string(value);
    return *this;
}

Dict& Dict::boolean(const char* k, bool value) {
    key(k);
    text_ += value ? "True" : "False";
    return *this;
}

Dict& Dict::dict(const char* k, const Dict& value) {
    key(k);
    text_ += value.text();
    return *this;
}

const std::string& Dict::text() const {
    closed_ = text_ + "}";
    return closed_;
}

void record(const char* name, const Dict& args) {
    std::string entry = "('";
    entry += name;
    entry += "', ";
    entry += args.text();
    entry += ')';
    Store& s = store();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.bytes += entry.size();
    s.calls.push_back(std::move(entry));
    while (s.calls.size() > kMaxCalls || (s.bytes > kMaxBytes && s.calls.size() > 1)) {
        s.bytes -= s.calls.front().size();
        s.calls.pop_front();
        ++s.forgotten;
    }
}

std::mutex& mutex_for_fork() { return store().mutex; }

void set_enabled(bool enabled) { g_enabled.store(enabled, std::memory_order_relaxed); }

void clear() {
    Store& s = store();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.calls.clear();
    s.bytes = 0;
    s.forgotten = 0;
}

uint64_t forgotten() {
    Store& s = store();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.forgotten;
}

std::string dump() {
    Store& s = store();
    std::lock_guard<std::mutex> lock(s.mutex);
    std::string out = "[";
    out.reserve(s.bytes + 2 * s.calls.size() + 2);
    for (const std::string& call : s.calls) {
        out += call;
        out += ",\n";
    }
    out += ']';
    return out;
}

}  // namespace call_recorder
}  // namespace loopback
}  // namespace ostrel
