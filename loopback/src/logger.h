// The loopback SDK's logger. Every line carries time, level, thread and text; where it goes
// (files under the log path, standard error) is set through ostrel::live::ZuLiveSDK.
#ifndef OSTREL_LOOPBACK_LOGGER_H_
#define OSTREL_LOOPBACK_LOGGER_H_

#include <cstddef>
#include <mutex>
#include <string>

namespace ostrel {
namespace loopback {
namespace log {

// Levels, in increasing severity from 0. SetLogLevel(n) keeps lines of level n and above;
// kNone (6) and above silences the logger.
enum Level : int { kVerbose, kDebug, kInfo, kWarning, kError, kFatal, kNone };

// True when a line of this level would be written anywhere. Cheap: one relaxed atomic load.
bool enabled(Level level);

// Writes one line. Safe from any thread.
void write(Level level, const std::string& text);

// printf-style convenience over write().
void writef(Level level, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Name of the log file inside the log directory; rotated files are ostrel.1.log[.gz] (newest)
// to ostrel.<kKeepRotated>.log[.gz] (oldest).
constexpr const char kFileName[] = "ostrel.log";
// The current file is rotated before a line would take it past this size.
constexpr size_t kRotateBytes = 8u * 1024u * 1024u;
// Number of rotated files kept next to the current one; older ones are deleted.
constexpr int kKeepRotated = 5;

// Settings behind ostrel::live::ZuLiveSDK. All are process-wide and safe from any thread.

// Creates `path` (and parents) if needed and opens <path>/ostrel.log for append. Returns false,
// leaving the previous directory in effect, when path is null or empty or when the directory
// cannot be created or the file cannot be opened there.
bool set_path(const char* path);
// Full path of the current log file, or "" while no directory is set.
std::string file_path();
// Clamped to kVerbose..kNone.
void set_level(int level);
Level level();
void set_console(bool on);
void set_compress(bool on);
void set_file_enabled(bool on);

// The lock that fork() must not copy while another thread holds it (see fork_safety.h).
std::mutex& mutex_for_fork();

// Test hooks. set_rotate_bytes(0) restores kRotateBytes. reset_for_test() closes the file and
// returns every setting to its default (level kInfo, console off, file on without a directory,
// compression on, default rotation size).
void set_rotate_bytes(size_t bytes);
void reset_for_test();

}  // namespace log
}  // namespace loopback
}  // namespace ostrel

#define OSTREL_LOG(level, ...)                                                            \
    do {                                                                                  \
        if (::ostrel::loopback::log::enabled(::ostrel::loopback::log::level))             \
            ::ostrel::loopback::log::writef(::ostrel::loopback::log::level, __VA_ARGS__); \
    } while (0)

#endif  // OSTREL_LOOPBACK_LOGGER_H_
