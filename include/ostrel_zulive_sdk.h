// Process-wide settings of the SDK: logging, proxy and service environment.
#ifndef OSTREL_ZULIVE_SDK_H_
#define OSTREL_ZULIVE_SDK_H_

namespace ostrel {
namespace live {

class ZuLiveSDK {
public:
    static bool SetLogPath(const char* path);
    static void SetLogLevel(int level);
    static void EnableConsoleLog();
    static void DisableConsoleLog();
    static void DisableLogCompress(bool disabled);
    static void DisableLogFile(bool disabled);
    static bool SetSocks5Proxy(const char* ip, unsigned short port, const char* username, const char* password);
    static bool SetEnvironment(const char* env);

protected:
    virtual ~ZuLiveSDK() {}
};

}  // namespace live
}  // namespace ostrel

#endif  // OSTREL_ZULIVE_SDK_H_
