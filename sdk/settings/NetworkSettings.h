#ifndef MIRELO_SDK_NETWORK_SETTINGS_H
#define MIRELO_SDK_NETWORK_SETTINGS_H

#include <string>

#include "control/Value.h"
#include "runtime/Mutex.h"

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

private:
    mutable Mutex mutex_{LockRank::kNetwork};
    bool proxy_set_ GUARDED_BY(mutex_) = false;
    std::string proxy_host_ GUARDED_BY(mutex_);
    unsigned short proxy_port_ GUARDED_BY(mutex_) = 0;
    std::string proxy_username_ GUARDED_BY(mutex_);
    bool proxy_has_password_ GUARDED_BY(mutex_) = false;
    std::string environment_ GUARDED_BY(mutex_) = kDefaultEnvironment;
};

}  // namespace loopback
}  // namespace mirelo

#endif  // MIRELO_SDK_NETWORK_SETTINGS_H
