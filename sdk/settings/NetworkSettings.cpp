#include "settings/NetworkSettings.h"

#include <cstring>

namespace mirelo {
namespace loopback {

bool NetworkSettings::SetSocks5Proxy(const char* host, unsigned short port, const char* username,
                                     const char* password) {
    if (host == nullptr || *host == '\0' || port == 0) {
        return false;
    }
    MutexLock lock(mutex_);
    proxy_set_ = true;
    proxy_host_ = host;
    proxy_port_ = port;
    proxy_username_ = username != nullptr ? username : "";
    proxy_has_password_ = password != nullptr && *password != '\0';
    return true;
}

bool NetworkSettings::IsKnownEnvironment(const char* name) {
    static const char* const known[] = {"production", "staging", "test", "development"};
    if (name == nullptr) {
        return false;
    }
    for (const char* candidate : known) {
        if (std::strcmp(candidate, name) == 0) {
            return true;
        }
    }
    return false;
}

bool NetworkSettings::SetEnvironment(const char* name) {
    if (!IsKnownEnvironment(name)) {
        return false;
    }
    MutexLock lock(mutex_);
    environment_ = name;
    return true;
}

void NetworkSettings::AddTo(Value& settings) const {
    MutexLock lock(mutex_);
    Value proxy = Value::None();
    if (proxy_set_) {
        proxy = Value::Dict();
        proxy.Add("host", Value::Text(proxy_host_))
            .Add("port", Value::Int(proxy_port_))
            .Add("username", Value::Text(proxy_username_))
            .Add("has_password", Value::Bool(proxy_has_password_));
    }
    settings.Add("proxy", std::move(proxy));
    settings.Add("environment", Value::Text(environment_));
}

}  // namespace loopback
}  // namespace mirelo
