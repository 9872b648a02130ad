// ostrel::live::ZuLiveSDK: process-wide settings. Logging settings go to the logger; the proxy
// and environment are validated and stored here (see settings.h).
#include "ostrel_zulive_sdk.h"

#include <arpa/inet.h>

#include <cctype>
#include <cstring>
#include <mutex>
#include <string>
#include <utility>

#include "locked.h"
#include "logger.h"
#include "call_recorder.h"
#include "settings.h"

namespace ostrel {
namespace loopback {
namespace settings {

namespace {

constexpr size_t kMaxHostName = 253;
constexpr size_t kMaxLabel = 63;
constexpr size_t kMaxCredential = 255;  // SOCKS5 username/password fields are one length byte

struct State {
    std::mutex mutex;
    Socks5Proxy proxy;
    std::string environment = kEnvironments[0];
};

// Never destroyed: SDK threads may read the settings until the process ends.
State& state() {
    static State* const s = new State();
    return *s;
}

bool is_ipv4(const char* host) {
    in_addr a;
    return inet_pton(AF_INET, host, &a) == 1;
}

bool is_ipv6(const char* host) {
    in6_addr a;
    return inet_pton(AF_INET6, host, &a) == 1;
}

// Letters, digits and '-' in dot-separated labels of 1 to 63 characters that neither start nor
// end with '-'. The last label must not be all digits, so that a malformed IPv4 address such as
// "1.2.3" or "256.0.0.1" is not taken for a name.
bool is_host_name(const std::string& host) {
    if (host.empty() || host.size() > kMaxHostName) return false;
    size_t start = 0;
    bool all_digits = true;
    for (;;) {
        size_t end = host.find('.', start);
        if (end == std::string::npos) end = host.size();
        const size_t length = end - start;
        if (length == 0 || length > kMaxLabel) return false;
        if (host[start] == '-' || host[end - 1] == '-') return false;
        all_digits = true;
        for (size_t i = start; i < end; ++i) {
            const unsigned char c = static_cast<unsigned char>(host[i]);
            if (!std::isalnum(c) && c != '-') return false;
            if (!std::isdigit(c)) all_digits = false;
        }
        if (end == host.size()) break;
        start = end + 1;
    }
    return !all_digits;
}

size_t length_of(const char* s) { return s ? std::strlen(s) : 0; }

// Why SetSocks5Proxy refuses these arguments, or nullptr when it accepts them. An empty host
// with port 0 is accepted: it clears the proxy.
const char* proxy_refusal(const char* host, unsigned short port, const char* username, const char* password) {
    const size_t host_length = length_of(host);
    if (host_length == 0 && port == 0) return nullptr;
    if (host_length == 0) return "empty host";
    if (port == 0) return "port 0";
    if (!is_ipv4(host) && !is_ipv6(host) && !is_host_name(host)) return "host is not an IP address or host name";
    if (length_of(username) > kMaxCredential) return "username longer than 255 bytes";
    if (length_of(password) > kMaxCredential) return "password longer than 255 bytes";
    if (length_of(password) > 0 && length_of(username) == 0) return "password without username";
    return nullptr;
}

bool known_environment(const char* env) {
    if (env == nullptr) return false;
    for (const char* known : kEnvironments) {
        if (std::strcmp(env, known) == 0) return true;
    }
    return false;
}

}  // namespace

Socks5Proxy socks5_proxy() {
    return locked(state(), [](const State& s) { return s.proxy; });
}

std::string environment() {
    return locked(state(), [](const State& s) { return s.environment; });
}

bool valid_socks5_proxy(const char* host, unsigned short port, const char* username, const char* password) {
    return proxy_refusal(host, port, username, password) == nullptr;
}

std::mutex& mutex_for_fork() { return state().mutex; }

void reset_for_test() {
    locked(state(), [](State& s) {
        s.proxy = Socks5Proxy();
        s.environment = kEnvironments[0];
    });
}

}  // namespace settings
}  // namespace loopback

namespace live {

namespace log = ::ostrel::loopback::log;
namespace call_recorder = ::ostrel::loopback::call_recorder;
namespace settings = ::ostrel::loopback::settings;
using ::ostrel::loopback::locked;

bool ZuLiveSDK::SetLogPath(const char* path) {
    if (call_recorder::on()) call_recorder::record("SetLogPath", call_recorder::Dict().cstr("path", path));
    if (log::set_path(path)) return true;
    // Goes to the previous log file, if any.
    OSTREL_LOG(kWarning, "SetLogPath refused: cannot create or write a log file in '%.512s'", path ? path : "(null)");
    return false;
}

void ZuLiveSDK::SetLogLevel(int level) {
    if (call_recorder::on()) call_recorder::record("SetLogLevel", call_recorder::Dict().integer("level", level));
    log::set_level(level);
}

void ZuLiveSDK::EnableConsoleLog() {
    if (call_recorder::on()) call_recorder::record("EnableConsoleLog");
    log::set_console(true);
}

void ZuLiveSDK::DisableConsoleLog() {
    if (call_recorder::on()) call_recorder::record("DisableConsoleLog");
    log::set_console(false);
}

void ZuLiveSDK::DisableLogCompress(bool disabled) {
    if (call_recorder::on())
        call_recorder::record("DisableLogCompress", call_recorder::Dict().boolean("disabled", disabled));
    log::set_compress(!disabled);
}

void ZuLiveSDK::DisableLogFile(bool disabled) {
    if (call_recorder::on())
        call_recorder::record("DisableLogFile", call_recorder::Dict().boolean("disabled", disabled));
    log::set_file_enabled(!disabled);
}

bool ZuLiveSDK::SetSocks5Proxy(const char* ip, unsigned short port, const char* username, const char* password) {
    if (call_recorder::on()) {
        call_recorder::record("SetSocks5Proxy", call_recorder::Dict()
                                                    .cstr("ip", ip)
                                                    .uinteger("port", port)
                                                    .cstr("username", username)
                                                    .cstr("password", password));
    }
    if (const char* refusal = settings::proxy_refusal(ip, port, username, password)) {
        OSTREL_LOG(kWarning, "SetSocks5Proxy refused: %s; previous setting kept", refusal);
        return false;
    }
    settings::Socks5Proxy proxy;
    if (port != 0) {
        proxy.host = ip;
        proxy.port = port;
        proxy.username = username ? username : "";
        proxy.password = password ? password : "";
    }
    locked(settings::state(), [&](settings::State& s) { s.proxy = proxy; });
    // The password is never logged.
    if (!proxy.set()) {
        OSTREL_LOG(kInfo, "SOCKS5 proxy cleared");
    } else {
        const bool ipv6 = proxy.host.find(':') != std::string::npos;
        const std::string endpoint = (ipv6 ? "[" + proxy.host + "]" : proxy.host) + ":" + std::to_string(proxy.port);
        const std::string auth = proxy.username.empty() ? std::string("no authentication")
                                                        : "username '" + proxy.username + "', " +
                                                              (proxy.password.empty() ? "no password" : "password ***");
        OSTREL_LOG(kInfo, "SOCKS5 proxy set to %s, %s", endpoint.c_str(), auth.c_str());
    }
    return true;
}

bool ZuLiveSDK::SetEnvironment(const char* env) {
    if (call_recorder::on()) call_recorder::record("SetEnvironment", call_recorder::Dict().cstr("env", env));
    if (!settings::known_environment(env)) {
        OSTREL_LOG(kWarning, "SetEnvironment refused: unknown environment '%.64s'; previous setting kept",
                   env ? env : "(null)");
        return false;
    }
    const std::string previous =
        locked(settings::state(), [&](settings::State& s) { return std::exchange(s.environment, env); });
    OSTREL_LOG(kInfo, "environment set to %s (was %s)", env, previous.c_str());
    return true;
}

}  // namespace live
}  // namespace ostrel
