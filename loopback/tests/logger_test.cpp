// Logger and ZuLiveSDK settings: log path, levels, line format, rotation and compression,
// outputs, proxy and environment validation, call recording, concurrent writers.
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <zlib.h>

#include <atomic>
#include <cctype>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "logger.h"
#include "ostrel_zulive_sdk.h"
#include "call_recorder.h"
#include "settings.h"

namespace {

namespace fs = std::filesystem;
namespace log = ostrel::loopback::log;
namespace call_recorder = ostrel::loopback::call_recorder;
namespace settings = ostrel::loopback::settings;
using ostrel::live::ZuLiveSDK;

// One parsed log line: "2026-12-08 03:04:05.123 INFO [4242] text".
struct Line {
    std::string level;
    std::string tid;
    std::string text;
};

bool parse_line(const std::string& line, Line* out) {
    static const char kTime[] = "dddd-dd-dd dd:dd:dd.ddd ";
    const size_t time_length = sizeof kTime - 1;
    if (line.size() < time_length) return false;
    for (size_t i = 0; i < time_length; ++i) {
        if (kTime[i] == 'd' ? !std::isdigit(static_cast<unsigned char>(line[i])) : line[i] != kTime[i]) return false;
    }
    const size_t level_end = line.find(' ', time_length);
    if (level_end == std::string::npos) return false;
    out->level = line.substr(time_length, level_end - time_length);
    const std::set<std::string> levels = {"VERBOSE", "DEBUG", "INFO", "WARN", "ERROR", "FATAL"};
    if (levels.count(out->level) == 0) return false;
    const size_t tid_end = line.find("] ", level_end);
    if (line.compare(level_end, 2, " [") != 0 || tid_end == std::string::npos || tid_end == level_end + 2) return false;
    out->tid = line.substr(level_end + 2, tid_end - level_end - 2);
    if (out->tid.find_first_not_of("0123456789") != std::string::npos) return false;
    out->text = line.substr(tid_end + 2);
    return true;
}

class TempDir {
public:
    TempDir() {
        std::string tmpl = (fs::temp_directory_path() / "ostrel_log_XXXXXX").string();
        if (::mkdtemp(&tmpl[0]) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = tmpl;
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

std::string read_gzip(const fs::path& path) {
    gzFile in = gzopen(path.c_str(), "rb");
    if (in == nullptr) return "<cannot open " + path.string() + ">";
    std::string out;
    char buffer[4096];
    int n;
    while ((n = gzread(in, buffer, sizeof buffer)) > 0) out.append(buffer, static_cast<size_t>(n));
    gzclose(in);
    return out;
}

// The text of each line after "<time> <LEVEL> [tid] ".
std::vector<std::string> texts(const std::vector<std::string>& lines) {
    std::vector<std::string> out;
    for (const std::string& line : lines) {
        Line parsed;
        out.push_back(parse_line(line, &parsed) ? parsed.text : "<malformed: " + line + ">");
    }
    return out;
}

std::vector<std::string> file_texts(const fs::path& path) { return texts(split_lines(read_file(path))); }

fs::path rotated(const fs::path& dir, int n, bool gz) {
    return dir / ("ostrel." + std::to_string(n) + (gz ? ".log.gz" : ".log"));
}

// Contents of every log file in the directory, oldest first, one string per file.
std::vector<std::string> all_files_oldest_first(const fs::path& dir) {
    std::vector<std::string> files;
    for (int n = log::kKeepRotated + 1; n >= 1; --n) {
        if (fs::exists(rotated(dir, n, true))) files.push_back(read_gzip(rotated(dir, n, true)));
        if (fs::exists(rotated(dir, n, false))) files.push_back(read_file(rotated(dir, n, false)));
    }
    files.push_back(read_file(dir / "ostrel.log"));
    return files;
}

std::vector<std::string> all_texts(const fs::path& dir) {
    std::vector<std::string> out;
    for (const std::string& content : all_files_oldest_first(dir)) {
        for (const std::string& t : texts(split_lines(content))) out.push_back(t);
    }
    return out;
}

std::vector<std::string> numbered(const std::string& stem, int count) {
    std::vector<std::string> out;
    for (int i = 0; i < count; ++i) out.push_back(stem + std::to_string(i));
    return out;
}

class LoggerTest : public ::testing::Test {
protected:
    void SetUp() override { reset(); }
    void TearDown() override { reset(); }
    static void reset() {
        call_recorder::set_enabled(false);
        call_recorder::clear();
        log::reset_for_test();
        settings::reset_for_test();
    }

    TempDir tmp_;
};

// --- log path -----------------------------------------------------------------------------

TEST_F(LoggerTest, NothingIsWrittenByDefault) {
    for (int level = log::kVerbose; level <= log::kNone; ++level) EXPECT_FALSE(log::enabled(log::Level(level)));
    EXPECT_EQ(log::file_path(), "");
    log::write(log::kFatal, "nowhere");  // must not crash or create anything
}

TEST_F(LoggerTest, SetLogPathCreatesNestedDirectoriesAndAppends) {
    const fs::path dir = tmp_.path() / "a" / "b" / "c";
    ASSERT_TRUE(ZuLiveSDK::SetLogPath(dir.c_str()));
    EXPECT_TRUE(fs::is_directory(dir));
    EXPECT_EQ(log::file_path(), (dir / "ostrel.log").string());
    log::write(log::kInfo, "first");

    // An existing file is appended to, not truncated.
    const fs::path other = tmp_.path() / "other";
    fs::create_directories(other);
    std::ofstream(other / "ostrel.log") << "2026-01-01 00:00:00.000 INFO [1] from before\n";
    ASSERT_TRUE(ZuLiveSDK::SetLogPath((other.string() + "/").c_str()));
    log::write(log::kInfo, "second");

    EXPECT_EQ(file_texts(dir / "ostrel.log"), std::vector<std::string>{"first"});
    EXPECT_EQ(file_texts(other / "ostrel.log"), (std::vector<std::string>{"from before", "second"}));

    // A relative path is resolved once, when set: a later chdir does not move the log.
    const fs::path cwd = fs::current_path();
    fs::current_path(tmp_.path());
    const bool ok = ZuLiveSDK::SetLogPath("rel");
    fs::current_path(cwd);
    ASSERT_TRUE(ok);
    log::write(log::kInfo, "after chdir");
    EXPECT_EQ(file_texts(tmp_.path() / "rel" / "ostrel.log"), std::vector<std::string>{"after chdir"});
}

TEST_F(LoggerTest, RefusedLogPathKeepsThePreviousOne) {
    const fs::path good = tmp_.path() / "good";
    ASSERT_TRUE(ZuLiveSDK::SetLogPath(good.c_str()));
    const std::string file = log::file_path();

    const fs::path plain = tmp_.path() / "plain";
    std::ofstream(plain) << "x";
    const fs::path blocked = tmp_.path() / "blocked";  // ostrel.log there is a directory
    fs::create_directories(blocked / "ostrel.log");

    EXPECT_FALSE(ZuLiveSDK::SetLogPath(nullptr));
    EXPECT_FALSE(ZuLiveSDK::SetLogPath(""));
    EXPECT_FALSE(ZuLiveSDK::SetLogPath(plain.c_str()));
    EXPECT_FALSE(ZuLiveSDK::SetLogPath((plain / "logs" / "deeper").c_str()));
    EXPECT_FALSE(ZuLiveSDK::SetLogPath(blocked.c_str()));
    EXPECT_FALSE(fs::exists(plain / "logs"));
    EXPECT_EQ(log::file_path(), file);

    log::write(log::kInfo, "still here");
    const std::vector<std::string> lines = file_texts(file);
    ASSERT_EQ(lines.size(), 6u);  // five refusals logged as warnings, then the line
    EXPECT_EQ(lines[0], "SetLogPath refused: cannot create or write a log file in '(null)'");
    EXPECT_EQ(lines[5], "still here");
}

// --- levels and line format --------------------------------------------------------------

TEST_F(LoggerTest, LevelFiltersAndClamps) {
    ASSERT_TRUE(ZuLiveSDK::SetLogPath(tmp_.path().c_str()));
    EXPECT_EQ(log::level(), log::kInfo);
    EXPECT_FALSE(log::enabled(log::kDebug));
    EXPECT_TRUE(log::enabled(log::kInfo));

    ZuLiveSDK::SetLogLevel(log::kWarning);
    for (int level = log::kVerbose; level <= log::kNone; ++level) {
        log::writef(log::Level(level), "level %d", level);
    }
    ZuLiveSDK::SetLogLevel(-7);
    EXPECT_EQ(log::level(), log::kVerbose);
    OSTREL_LOG(kVerbose, "verbose %s", "on");
    ZuLiveSDK::SetLogLevel(99);
    EXPECT_EQ(log::level(), log::kNone);
    EXPECT_FALSE(log::enabled(log::kFatal));
    OSTREL_LOG(kFatal, "silenced");
    ZuLiveSDK::SetLogLevel(log::kNone - 1);
    EXPECT_FALSE(log::enabled(log::kNone));  // kNone is not a level lines are written at
    log::write(log::kNone, "not a level");

    EXPECT_EQ(file_texts(tmp_.path() / "ostrel.log"),
              (std::vector<std::string>{"level 3", "level 4", "level 5", "verbose on"}));
    const std::string content = read_file(tmp_.path() / "ostrel.log");
    EXPECT_NE(content.find(" WARN "), std::string::npos);
    EXPECT_NE(content.find(" ERROR "), std::string::npos);
    EXPECT_NE(content.find(" FATAL "), std::string::npos);
    EXPECT_NE(content.find(" VERBOSE "), std::string::npos);
}

TEST_F(LoggerTest, LineFormat) {
    ASSERT_TRUE(ZuLiveSDK::SetLogPath(tmp_.path().c_str()));
    ZuLiveSDK::SetLogLevel(log::kVerbose);
    log::write(log::kDebug, "plain text");
    log::write(log::kInfo, "trailing newline\n");
    log::write(log::kInfo, "two\nlines\r\n\n");
    log::write(log::kInfo, "");
    const std::string long_text(5000, 'x');
    log::writef(log::kError, "long %s end", long_text.c_str());

    const std::string content = read_file(tmp_.path() / "ostrel.log");
    ASSERT_FALSE(content.empty());
    EXPECT_EQ(content.back(), '\n');
    const std::vector<std::string> lines = split_lines(content);
    ASSERT_EQ(lines.size(), 5u);
    Line first;
    ASSERT_TRUE(parse_line(lines[0], &first)) << lines[0];
    EXPECT_EQ(first.level, "DEBUG");
    EXPECT_EQ(first.tid, std::to_string(::syscall(SYS_gettid)));
    EXPECT_EQ(texts(lines), (std::vector<std::string>{"plain text", "trailing newline", "two\\nlines", "",
                                                      "long " + long_text + " end"}));
}

// --- rotation and compression ------------------------------------------------------------

TEST_F(LoggerTest, RotationCompressesWithGzipAndKeepsEveryLine) {
    constexpr size_t kThreshold = 1000;
    log::set_rotate_bytes(kThreshold);
    ASSERT_TRUE(ZuLiveSDK::SetLogPath(tmp_.path().c_str()));
    const std::vector<std::string> written = numbered("line number ", 60);  // about 3 KB
    for (const std::string& t : written) log::write(log::kInfo, t);

    EXPECT_TRUE(fs::exists(rotated(tmp_.path(), 1, true)));
    EXPECT_TRUE(fs::exists(rotated(tmp_.path(), 2, true)));
    for (int n = 1; n <= log::kKeepRotated; ++n) EXPECT_FALSE(fs::exists(rotated(tmp_.path(), n, false))) << n;
    for (const std::string& content : all_files_oldest_first(tmp_.path())) {
        EXPECT_LE(content.size(), kThreshold);
        EXPECT_GT(content.size(), 0u);
    }
    EXPECT_EQ(all_texts(tmp_.path()), written);
}

TEST_F(LoggerTest, LineLongerThanTheRotationSizeIsWrittenWhole) {
    log::set_rotate_bytes(100);
    ASSERT_TRUE(ZuLiveSDK::SetLogPath(tmp_.path().c_str()));
    const std::vector<std::string> written = {std::string(300, 'a'), std::string(300, 'b'), "short"};
    for (const std::string& t : written) log::write(log::kInfo, t);

    // One file per line and no empty file from rotating a file that had nothing in it.
    const std::vector<std::string> files = all_files_oldest_first(tmp_.path());
    ASSERT_EQ(files.size(), 3u);
    for (const std::string& content : files) EXPECT_EQ(texts(split_lines(content)).size(), 1u);
    EXPECT_EQ(all_texts(tmp_.path()), written);
}

TEST_F(LoggerTest, RotationKeepsABoundedNumberOfFiles) {
    log::set_rotate_bytes(500);
    ASSERT_TRUE(ZuLiveSDK::SetLogPath(tmp_.path().c_str()));
    const std::vector<std::string> written = numbered("entry ", 400);  // far more than 6 files
    for (const std::string& t : written) log::write(log::kInfo, t);

    for (int n = 1; n <= log::kKeepRotated; ++n) EXPECT_TRUE(fs::exists(rotated(tmp_.path(), n, true))) << n;
    EXPECT_FALSE(fs::exists(rotated(tmp_.path(), log::kKeepRotated + 1, true)));
    EXPECT_EQ(std::distance(fs::directory_iterator(tmp_.path()), fs::directory_iterator()), log::kKeepRotated + 1);

    // What is kept is an unbroken tail of what was written.
    const std::vector<std::string> kept = all_texts(tmp_.path());
    ASSERT_FALSE(kept.empty());
    ASSERT_LT(kept.size(), written.size());
    EXPECT_EQ(kept, std::vector<std::string>(written.end() - static_cast<long>(kept.size()), written.end()));
}

TEST_F(LoggerTest, DisableLogCompressLeavesPlainFilesAndOlderFilesShiftEitherWay) {
    log::set_rotate_bytes(600);
    ASSERT_TRUE(ZuLiveSDK::SetLogPath(tmp_.path().c_str()));
    ZuLiveSDK::DisableLogCompress(true);
    const std::vector<std::string> plain_part = numbered("plain ", 40);
    for (const std::string& t : plain_part) log::write(log::kInfo, t);
    EXPECT_TRUE(fs::exists(rotated(tmp_.path(), 1, false)));
    EXPECT_TRUE(fs::exists(rotated(tmp_.path(), 2, false)));
    for (int n = 1; n <= log::kKeepRotated; ++n) EXPECT_FALSE(fs::exists(rotated(tmp_.path(), n, true))) << n;

    // Compression back on: new rotations are compressed, the plain ones move up.
    ZuLiveSDK::DisableLogCompress(false);
    const std::vector<std::string> gz_part = numbered("gz ", 15);
    for (const std::string& t : gz_part) log::write(log::kInfo, t);
    EXPECT_TRUE(fs::exists(rotated(tmp_.path(), 1, true)));
    EXPECT_FALSE(fs::exists(rotated(tmp_.path(), 1, false)));

    std::vector<std::string> expected = plain_part;
    expected.insert(expected.end(), gz_part.begin(), gz_part.end());
    const std::vector<std::string> kept = all_texts(tmp_.path());
    ASSERT_LE(kept.size(), expected.size());
    EXPECT_EQ(kept, std::vector<std::string>(expected.end() - static_cast<long>(kept.size()), expected.end()));
    EXPECT_EQ(kept.back(), "gz 14");
}

// --- outputs -------------------------------------------------------------------------------

TEST_F(LoggerTest, DisableLogFileStopsAndResumesFileOutput) {
    ASSERT_TRUE(ZuLiveSDK::SetLogPath(tmp_.path().c_str()));
    log::write(log::kInfo, "a");
    ZuLiveSDK::DisableLogFile(true);
    EXPECT_FALSE(log::enabled(log::kFatal));  // no output left
    log::write(log::kError, "b");

    // A path set while file output is off is used once it is back on.
    const fs::path moved = tmp_.path() / "moved";
    ASSERT_TRUE(ZuLiveSDK::SetLogPath(moved.c_str()));
    log::write(log::kError, "c");
    ZuLiveSDK::DisableLogFile(false);
    log::write(log::kInfo, "d");

    EXPECT_EQ(file_texts(tmp_.path() / "ostrel.log"), std::vector<std::string>{"a"});
    EXPECT_EQ(file_texts(moved / "ostrel.log"), std::vector<std::string>{"d"});
}

TEST_F(LoggerTest, ConsoleCopyGoesToStandardError) {
    testing::internal::CaptureStderr();
    ZuLiveSDK::EnableConsoleLog();
    EXPECT_TRUE(log::enabled(log::kInfo));  // console alone is an output
    log::write(log::kInfo, "on the console");
    ZuLiveSDK::DisableConsoleLog();
    log::write(log::kInfo, "not on the console");
    const std::string captured = testing::internal::GetCapturedStderr();
    EXPECT_EQ(texts(split_lines(captured)), std::vector<std::string>{"on the console"});

    // With both outputs on, each gets the same line.
    ASSERT_TRUE(ZuLiveSDK::SetLogPath(tmp_.path().c_str()));
    testing::internal::CaptureStderr();
    ZuLiveSDK::EnableConsoleLog();
    log::write(log::kWarning, "both");
    const std::string both = testing::internal::GetCapturedStderr();
    EXPECT_EQ(both, read_file(tmp_.path() / "ostrel.log"));
}

// --- proxy and environment -----------------------------------------------------------------

TEST_F(LoggerTest, Socks5ProxyValidation) {
    const std::string label63(63, 'a');
    const std::string name253 = label63 + "." + label63 + "." + label63 + "." + std::string(61, 'b');
    const std::string s255(255, 'u');
    const std::string s256(256, 'u');
    const std::string name254 = name253 + "c";
    const std::string label64 = std::string(64, 'a') + ".com";
    struct Case {
        const char* ip;
        unsigned short port;
        const char* username;
        const char* password;
        bool accepted;
    };
    const Case cases[] = {
        {"127.0.0.1", 1080, nullptr, nullptr, true},
        {"255.255.255.255", 65535, "", "", true},
        {"::1", 1, nullptr, nullptr, true},
        {"2001:db8::8a2e:370:7334", 1080, nullptr, nullptr, true},
        {"proxy.example.com", 1080, "alice", "secret", true},
        {"localhost", 1080, "alice", nullptr, true},
        {"my-proxy.corp9", 1080, "alice", "", true},
        {name253.c_str(), 1080, s255.c_str(), s255.c_str(), true},
        {"", 0, nullptr, nullptr, true},  // clears
        {nullptr, 0, nullptr, nullptr, true},
        {"", 1080, nullptr, nullptr, false},
        {nullptr, 1080, nullptr, nullptr, false},
        {"127.0.0.1", 0, nullptr, nullptr, false},
        {"[::1]", 1080, nullptr, nullptr, false},
        {"256.1.1.1", 1080, nullptr, nullptr, false},
        {"1.2.3", 1080, nullptr, nullptr, false},
        {"01.2.3.4", 1080, nullptr, nullptr, false},
        {"host:1080", 1080, nullptr, nullptr, false},
        {"bad host", 1080, nullptr, nullptr, false},
        {"-bad.example", 1080, nullptr, nullptr, false},
        {"bad-.example", 1080, nullptr, nullptr, false},
        {"a..example", 1080, nullptr, nullptr, false},
        {"example.com.", 1080, nullptr, nullptr, false},
        {name254.c_str(), 1080, nullptr, nullptr, false},
        {label64.c_str(), 1080, nullptr, nullptr, false},
        {"h\xc3\xa9.example", 1080, nullptr, nullptr, false},
        {"proxy.example", 1080, nullptr, "secret", false},
        {"proxy.example", 1080, "", "secret", false},
        {"proxy.example", 1080, s256.c_str(), nullptr, false},
        {"proxy.example", 1080, "alice", s256.c_str(), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.ip ? c.ip : "(null)") + ":" + std::to_string(c.port) + " user " +
                     (c.username ? std::to_string(std::strlen(c.username)) : "null") + " password " +
                     (c.password ? std::to_string(std::strlen(c.password)) : "null"));
        ASSERT_TRUE(ZuLiveSDK::SetSocks5Proxy("10.0.0.1", 9, "old", "old"));
        EXPECT_EQ(ZuLiveSDK::SetSocks5Proxy(c.ip, c.port, c.username, c.password), c.accepted);
        EXPECT_EQ(settings::valid_socks5_proxy(c.ip, c.port, c.username, c.password), c.accepted);
        const settings::Socks5Proxy p = settings::socks5_proxy();
        if (!c.accepted) {
            EXPECT_EQ(p.host, "10.0.0.1");
            EXPECT_EQ(p.port, 9);
            EXPECT_EQ(p.username, "old");
            EXPECT_EQ(p.password, "old");
        } else if (c.port == 0) {
            EXPECT_FALSE(p.set());
            EXPECT_EQ(p.port, 0);
            EXPECT_EQ(p.username, "");
            EXPECT_EQ(p.password, "");
        } else {
            EXPECT_TRUE(p.set());
            EXPECT_EQ(p.host, c.ip);
            EXPECT_EQ(p.port, c.port);
            EXPECT_EQ(p.username, c.username ? c.username : "");
            EXPECT_EQ(p.password, c.password ? c.password : "");
        }
    }
}

TEST_F(LoggerTest, Socks5ProxyLogNeverShowsThePassword) {
    ASSERT_TRUE(ZuLiveSDK::SetLogPath(tmp_.path().c_str()));
    ASSERT_TRUE(ZuLiveSDK::SetSocks5Proxy("::1", 1080, "alice", "hunter2"));
    ASSERT_FALSE(ZuLiveSDK::SetSocks5Proxy("proxy.example", 1080, nullptr, "hunter3"));
    ASSERT_TRUE(ZuLiveSDK::SetSocks5Proxy("proxy.example", 1080, nullptr, nullptr));
    ASSERT_TRUE(ZuLiveSDK::SetSocks5Proxy(nullptr, 0, nullptr, nullptr));
    const std::string content = read_file(tmp_.path() / "ostrel.log");
    EXPECT_EQ(content.find("hunter"), std::string::npos);
    EXPECT_EQ(file_texts(tmp_.path() / "ostrel.log"),
              (std::vector<std::string>{"SOCKS5 proxy set to [::1]:1080, username 'alice', password ***",
                                        "SetSocks5Proxy refused: password without username; previous setting kept",
                                        "SOCKS5 proxy set to proxy.example:1080, no authentication",
                                        "SOCKS5 proxy cleared"}));
}

TEST_F(LoggerTest, EnvironmentAcceptsOnlyKnownNames) {
    ASSERT_TRUE(ZuLiveSDK::SetLogPath(tmp_.path().c_str()));
    EXPECT_EQ(settings::environment(), "production");
    for (const char* env : {"staging", "test", "loopback", "production"}) {
        EXPECT_TRUE(ZuLiveSDK::SetEnvironment(env)) << env;
        EXPECT_EQ(settings::environment(), env);
    }
    ASSERT_TRUE(ZuLiveSDK::SetEnvironment("staging"));
    for (const char* env : {static_cast<const char*>(nullptr), "", "Production", "prod", "test ", "loopback\n"}) {
        EXPECT_FALSE(ZuLiveSDK::SetEnvironment(env)) << (env ? env : "(null)");
        EXPECT_EQ(settings::environment(), "staging");
    }
    const std::vector<std::string> lines = file_texts(tmp_.path() / "ostrel.log");
    ASSERT_EQ(lines.size(), 11u);
    EXPECT_EQ(lines[0], "environment set to staging (was production)");
    EXPECT_EQ(lines[4], "environment set to staging (was production)");
    EXPECT_EQ(lines[10], "SetEnvironment refused: unknown environment 'loopback\\n'; previous setting kept");
}

// --- recording -----------------------------------------------------------------------------

TEST_F(LoggerTest, EveryCallIsRecordedWithItsArguments) {
    call_recorder::set_enabled(true);
    ZuLiveSDK::SetLogPath(nullptr);
    ZuLiveSDK::SetLogPath(tmp_.path().c_str());
    ZuLiveSDK::SetLogLevel(-1);
    ZuLiveSDK::EnableConsoleLog();
    ZuLiveSDK::DisableConsoleLog();
    ZuLiveSDK::DisableLogCompress(true);
    ZuLiveSDK::DisableLogFile(false);
    ZuLiveSDK::SetSocks5Proxy("h", 65535, nullptr, "p");  // refused, still recorded
    ZuLiveSDK::SetEnvironment("nope");
    call_recorder::set_enabled(false);
    ZuLiveSDK::SetEnvironment("test");  // not recorded

    const std::string path = call_recorder::bytes_literal(tmp_.path().c_str(), tmp_.path().string().size());
    EXPECT_EQ(call_recorder::dump(),
              "[('SetLogPath', {'path': None}),\n"
              "('SetLogPath', {'path': " +
                  path +
                  "}),\n"
                  "('SetLogLevel', {'level': -1}),\n"
                  "('EnableConsoleLog', {}),\n"
                  "('DisableConsoleLog', {}),\n"
                  "('DisableLogCompress', {'disabled': True}),\n"
                  "('DisableLogFile', {'disabled': False}),\n"
                  "('SetSocks5Proxy', {'ip': b'h', 'port': 65535, 'username': None, 'password': b'p'}),\n"
                  "('SetEnvironment', {'env': b'nope'}),\n"
                  "]");
}

// --- concurrency ---------------------------------------------------------------------------

TEST_F(LoggerTest, ConcurrentWritersProduceWholeLinesOnly) {
    constexpr int kThreads = 8;
    constexpr int kLinesPerThread = 1000;
    log::set_rotate_bytes(200 * 1024);  // a few rotations, all kept
    ASSERT_TRUE(ZuLiveSDK::SetLogPath(tmp_.path().c_str()));

    std::atomic<bool> stop{false};
    // Changes settings while the writers run; none of the changes drops an info line.
    std::thread toggler([&stop] {
        int i = 0;
        while (!stop.load()) {
            ZuLiveSDK::SetLogLevel(i % 2 == 0 ? log::kVerbose : log::kInfo);
            ZuLiveSDK::DisableLogCompress(i % 3 == 0);
            ++i;
        }
    });
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([t] {
            for (int i = 0; i < kLinesPerThread; ++i)
                OSTREL_LOG(kInfo, "writer %d line %d padding %s", t, i, "..........");
        });
    }
    for (std::thread& w : writers) w.join();
    stop.store(true);
    toggler.join();

    std::set<std::string> seen;
    size_t malformed = 0;
    for (const std::string& content : all_files_oldest_first(tmp_.path())) {
        ASSERT_TRUE(content.empty() || content.back() == '\n');
        for (const std::string& line : split_lines(content)) {
            Line parsed;
            if (!parse_line(line, &parsed)) {
                ++malformed;
                continue;
            }
            EXPECT_TRUE(seen.insert(parsed.text).second) << "duplicate: " << line;
        }
    }
    EXPECT_EQ(malformed, 0u);
    EXPECT_EQ(seen.size(), static_cast<size_t>(kThreads * kLinesPerThread));
    EXPECT_TRUE(fs::exists(rotated(tmp_.path(), 1, true)) || fs::exists(rotated(tmp_.path(), 1, false)));
}

}  // namespace
