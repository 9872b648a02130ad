#include "logger.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <zlib.h>

#include <cxxabi.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <system_error>

#include "fd.h"

namespace ostrel {
namespace loopback {
namespace log {

namespace {

namespace fs = std::filesystem;

// Lowest level that is written anywhere: the configured level while some output is active,
// kNone otherwise. A namespace-scope atomic of a trivial type is constant-initialised and never
// destroyed, so enabled() works at any point of the process's life.
std::atomic<int> g_threshold{kNone};

// Writes all of `data`; a line is one write() call unless the kernel splits it.
bool write_all(int fd, const char* data, size_t length) {
    while (length > 0) {
        ssize_t n = ::write(fd, data, length);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

Fd open_append(const fs::path& file) {
    return Fd(::open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
}

// Copies `source` into a gzip file `target`. On failure nothing is left at `target`.
bool gzip_file(const fs::path& source, const fs::path& target) {
    Fd in(::open(source.c_str(), O_RDONLY | O_CLOEXEC));
    if (!in) return false;
    gzFile out = gzopen(target.c_str(), "wb");
    if (out == nullptr) return false;
    bool ok = true;
    char buffer[64 * 1024];
    for (;;) {
        ssize_t n = ::read(in.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) ok = false;
        if (n <= 0) break;
        if (gzwrite(out, buffer, static_cast<unsigned>(n)) != static_cast<int>(n)) {
            ok = false;
            break;
        }
    }
    if (gzclose(out) != Z_OK) ok = false;
    if (!ok) {
        std::error_code ec;
        fs::remove(target, ec);
    }
    return ok;
}

struct State {
    std::mutex mutex;
    fs::path dir;  // absolute; empty until set_path() succeeds
    Fd file;       // open while file output is on and the directory is usable
    size_t file_size = 0;
    int level = kInfo;
    bool console = false;
    bool file_enabled = true;
    bool compress = true;
    size_t rotate_bytes = kRotateBytes;

    fs::path current() const { return dir / kFileName; }
    fs::path rotated(int n, bool gz) const { return dir / ("ostrel." + std::to_string(n) + (gz ? ".log.gz" : ".log")); }

    // Called with the mutex held whenever level or outputs change.
    void update_threshold() {
        bool any_output = console || (file_enabled && !dir.empty());
        g_threshold.store(any_output ? level : static_cast<int>(kNone), std::memory_order_relaxed);
    }

    bool open_current() {
        file = open_append(current());
        if (!file) return false;
        struct stat st;
        file_size = ::fstat(file.get(), &st) == 0 ? static_cast<size_t>(st.st_size) : 0;
        return true;
    }

    // Moves the current file to ostrel.1.log (compressed to ostrel.1.log.gz unless compression is
    // off), shifting older files up by one and dropping the one past kKeepRotated, then starts a
    // new current file. Errors are not reported anywhere: the logger has nowhere to report them.
    void rotate() {
        file.reset();
        std::error_code ec;
        for (bool gz : {false, true}) fs::remove(rotated(kKeepRotated, gz), ec);
        for (int n = kKeepRotated - 1; n >= 1; --n) {
            for (bool gz : {false, true}) {
                if (fs::exists(rotated(n, gz), ec)) fs::rename(rotated(n, gz), rotated(n + 1, gz), ec);
            }
        }
        const fs::path plain = rotated(1, false);
        fs::rename(current(), plain, ec);
        if (!ec && compress && gzip_file(plain, rotated(1, true))) fs::remove(plain, ec);
        open_current();
    }

    void write_file(const std::string& line) {
        if (!file_enabled || dir.empty()) return;
        // A failed open (directory removed, disk full) is retried with the next line.
        if (!file && !open_current()) return;
        if (file_size > 0 && file_size + line.size() > rotate_bytes) {
            rotate();
            if (!file) return;
        }
        if (write_all(file.get(), line.data(), line.size())) file_size += line.size();
    }
};

// The state is created on first use and deliberately never destroyed: static destructors of
// other objects may still log while the process exits, and a destroyed mutex or path would be
// used after destruction. Every line goes straight to the file with write(), so nothing is
// buffered, and the kernel closes the descriptor at exit. This is the one intentional leak.
State& state() {
    static State* const s = new State();
    return *s;
}

const char* level_name(Level level) {
    switch (level) {
        case kVerbose:
            return "VERBOSE";
        case kDebug:
            return "DEBUG";
        case kInfo:
            return "INFO";
        case kWarning:
            return "WARN";
        case kError:
            return "ERROR";
        case kFatal:
            return "FATAL";
        default:
            return "NONE";
    }
}

// "2026-12-08 03:04:05.123 INFO [4242] " in local time.
std::string prefix(Level level) {
    using namespace std::chrono;
    const auto now = system_clock::now();
    const std::time_t seconds = system_clock::to_time_t(now);
    const long millis = static_cast<long>(duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000);
    std::tm tm{};
    localtime_r(&seconds, &tm);
    char buffer[96];
    int n =
        std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d %02d:%02d:%02d.%03ld %s [%ld] ", tm.tm_year + 1900,
                      tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, millis < 0 ? millis + 1000 : millis,
                      level_name(level), static_cast<long>(::syscall(SYS_gettid)));
    return std::string(buffer, n > 0 ? std::min(static_cast<size_t>(n), sizeof buffer - 1) : 0);
}

// The text with trailing line breaks dropped and inner ones escaped, so that one call is
// always one line.
std::string one_line(const std::string& text) {
    size_t end = text.find_last_not_of("\r\n");
    end = end == std::string::npos ? 0 : end + 1;
    std::string out;
    out.reserve(end + 1);
    for (size_t i = 0; i < end; ++i) {
        char c = text[i];
        if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace

bool enabled(Level level) {
    return level >= g_threshold.load(std::memory_order_relaxed) && level < kNone && level >= kVerbose;
}

void write(Level level, const std::string& text) {
    if (!enabled(level)) return;
    // Logging must never throw into its caller, which may be a destructor or a thread body.
    try {
        const std::string body = one_line(text) + '\n';
        State& s = state();
        std::lock_guard<std::mutex> lock(s.mutex);
        if (level < s.level) return;  // the level was raised after the check above
        // The time is taken under the lock so that lines in the file are in time order.
        const std::string line = prefix(level) + body;
        s.write_file(line);
        if (s.console) std::fwrite(line.data(), 1, line.size(), stderr);
    } catch (abi::__forced_unwind&) {
        throw;  // a thread being ended (a write() is a cancellation point) ends
    } catch (...) {
    }
}

void writef(Level level, const char* format, ...) {
    if (!enabled(level)) return;
    try {
        char small[512];
        va_list args;
        va_start(args, format);
        va_list again;
        va_copy(again, args);
        int n = std::vsnprintf(small, sizeof small, format, args);
        va_end(args);
        std::string text;
        if (n >= 0 && static_cast<size_t>(n) < sizeof small) {
            text.assign(small, static_cast<size_t>(n));
        } else if (n >= 0) {
            text.resize(static_cast<size_t>(n) + 1);
            std::vsnprintf(&text[0], text.size(), format, again);
            text.resize(static_cast<size_t>(n));
        }
        va_end(again);
        write(level, text);
    } catch (abi::__forced_unwind&) {
        throw;  // a thread being ended (a write() is a cancellation point) ends
    } catch (...) {
    }
}

std::mutex& mutex_for_fork() { return state().mutex; }

bool set_path(const char* path) {
    if (path == nullptr || *path == '\0') return false;
    std::error_code ec;
    fs::path dir = fs::absolute(fs::path(path), ec);
    if (ec) return false;
    fs::create_directories(dir, ec);
    if (ec || !fs::is_directory(dir, ec)) return false;
    // Opening the file is the real test: the directory may exist but be read-only.
    Fd probe = open_append(dir / kFileName);
    if (!probe) return false;

    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.dir = std::move(dir);
    s.file.reset();
    if (s.file_enabled) {
        s.file = std::move(probe);
        struct stat st;
        s.file_size = ::fstat(s.file.get(), &st) == 0 ? static_cast<size_t>(st.st_size) : 0;
    }
    s.update_threshold();
    return true;
}

std::string file_path() {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.dir.empty() ? std::string() : s.current().string();
}

void set_level(int level) {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.level = std::clamp(level, static_cast<int>(kVerbose), static_cast<int>(kNone));
    s.update_threshold();
}

Level level() {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    return static_cast<Level>(s.level);
}

void set_console(bool on) {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.console = on;
    s.update_threshold();
}

void set_compress(bool on) {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.compress = on;
}

void set_file_enabled(bool on) {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.file_enabled = on;
    // Turning file output on again reopens the stored path with the next line.
    if (!on) s.file.reset();
    s.update_threshold();
}

void set_rotate_bytes(size_t bytes) {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.rotate_bytes = bytes == 0 ? kRotateBytes : bytes;
}

void reset_for_test() {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.file.reset();
    s.dir.clear();
    s.file_size = 0;
    s.level = kInfo;
    s.console = false;
    s.file_enabled = true;
    s.compress = true;
    s.rotate_bytes = kRotateBytes;
    s.update_threshold();
}

}  // namespace log
}  // namespace loopback
}  // namespace ostrel
