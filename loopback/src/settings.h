// Proxy and service environment stored by ostrel::live::ZuLiveSDK, for the rest of the
// loopback SDK to read. The loopback SDK connects nowhere, so both are only validated, logged
// and kept. They live until the process ends, and a forked child keeps its parent's.
#ifndef OSTREL_LOOPBACK_SETTINGS_H_
#define OSTREL_LOOPBACK_SETTINGS_H_

#include <cstdint>
#include <mutex>
#include <string>

namespace ostrel {
namespace loopback {
namespace settings {

struct Socks5Proxy {
    std::string host;  // IPv4, IPv6 (no brackets) or host name; empty when no proxy is set
    uint16_t port = 0;
    std::string username;  // empty: no authentication
    std::string password;

    bool set() const { return !host.empty(); }
};

// The environments SetEnvironment accepts; the first is the default.
constexpr const char* kEnvironments[] = {"production", "staging", "test", "loopback"};

Socks5Proxy socks5_proxy();
std::string environment();

// True when ZuLiveSDK::SetSocks5Proxy would accept these arguments.
bool valid_socks5_proxy(const char* host, unsigned short port, const char* username, const char* password);

// The lock that fork() must not copy while another thread holds it (see fork_safety.h).
std::mutex& mutex_for_fork();

// Test hook: no proxy, default environment.
void reset_for_test();

}  // namespace settings
}  // namespace loopback
}  // namespace ostrel

#endif  // OSTREL_LOOPBACK_SETTINGS_H_
