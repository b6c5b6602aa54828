#ifndef MIRELO_SDK_NETWORK_SETTINGS_H
#define MIRELO_SDK_NETWORK_SETTINGS_H

#include <mutex>
#include <string>

#include "control/Value.h"

namespace mirelo {
namespace loopback {

// The proxy and the service environment. The loopback connects nowhere, so both are only kept;
// of the proxy's password, only whether one was given (nothing here needs the secret itself).
//
// Environments, matched exactly: "production" (the default), "staging", "test", "development".
class NetworkSettings {
public:
    static constexpr const char* kDefaultEnvironment = "production";

    // False for a null or empty host or port 0; user name and password may be null.
    bool SetSocks5Proxy(const char* host, unsigned short port, const char* username, const char* password);
    bool SetEnvironment(const char* name);
    static bool IsKnownEnvironment(const char* name);

    // The proxy's password is reported only as whether one is set.
    void AddTo(Value& settings) const;

    // Held by ForkGuard across fork(), so that a child inherits this state consistent and unlocked.
    std::unique_lock<std::mutex> LockForFork() const { return std::unique_lock<std::mutex>(mutex_); }

private:
    mutable std::mutex mutex_;
    bool proxy_set_ = false;                       // guarded by mutex_
    std::string proxy_host_;                       // guarded by mutex_
    unsigned short proxy_port_ = 0;                // guarded by mutex_
    std::string proxy_username_;                   // guarded by mutex_
    bool proxy_has_password_ = false;              // guarded by mutex_
    std::string environment_ = kDefaultEnvironment;  // guarded by mutex_
};

}  // namespace loopback
}  // namespace mirelo

#endif  // MIRELO_SDK_NETWORK_SETTINGS_H
