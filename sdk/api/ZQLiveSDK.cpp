#include <cxxabi.h>

#include <exception>
#include <string>

#include "control/RecordValues.h"
#include "mirelo_sdk.h"
#include "runtime/LoopbackService.h"

namespace mirelo {
namespace live {

using loopback::LoopbackService;
using loopback::RecordValues;
using loopback::Value;

namespace {

void LogFailure(const char* name, const char* reason) noexcept {
    try {
        LoopbackService::Instance().logger().Write(loopback::Logger::kError, std::string(name) + " failed: " + reason);
    } catch (...) {
        // nothing more can be done with memory exhausted
    }
}

// The settings functions report failure by their result, never by an exception: one that cannot
// complete (memory exhausted) returns `failed`, or nothing for those without a result.
template <typename Result, typename Operation>
Result Guarded(const char* name, Result failed, Operation&& operation) {
    try {
        return operation();
    } catch (abi::__forced_unwind&) {
        throw;  // the thread is being ended; swallowing this would abort the process
    } catch (const std::exception& error) {
        LogFailure(name, error.what());
    } catch (...) {
        LogFailure(name, "unknown exception");
    }
    return failed;
}

template <typename Operation>
void Guarded(const char* name, Operation&& operation) {
    Guarded(name, 0, [&operation] {
        operation();
        return 0;
    });
}

}  // namespace

bool ZQLiveSDK::SetLogPath(const char* path) {
    return Guarded("SetLogPath", false, [path] {
        LoopbackService& service = LoopbackService::Instance();
        service.Record(0, "SetLogPath", {Value::Text(path)});
        std::string refusal;
        const bool accepted = service.logger().SetPath(path, &refusal);
        if (accepted) {
            service.logger().Write(loopback::Logger::kInfo, std::string("log path set to ") + path);
        } else if (!refusal.empty()) {
            service.logger().Write(loopback::Logger::kWarning, "log path refused: log file " + refusal);
        }
        return accepted;
    });
}

void ZQLiveSDK::SetLogLevel(int level) {
    Guarded("SetLogLevel", [level] {
        LoopbackService& service = LoopbackService::Instance();
        service.Record(0, "SetLogLevel", {Value::Int(level)});
        service.logger().SetLevel(level);
    });
}

void ZQLiveSDK::EnableConsoleLog() {
    Guarded("EnableConsoleLog", [] {
        LoopbackService& service = LoopbackService::Instance();
        service.Record(0, "EnableConsoleLog", {});
        service.logger().SetConsole(true);
    });
}

void ZQLiveSDK::DisableConsoleLog() {
    Guarded("DisableConsoleLog", [] {
        LoopbackService& service = LoopbackService::Instance();
        service.Record(0, "DisableConsoleLog", {});
        service.logger().SetConsole(false);
    });
}

void ZQLiveSDK::DisableLogCompress(bool disabled) {
    Guarded("DisableLogCompress", [disabled] {
        LoopbackService& service = LoopbackService::Instance();
        service.Record(0, "DisableLogCompress", {Value::Bool(disabled)});
        service.logger().SetCompressDisabled(disabled);
    });
}

void ZQLiveSDK::DisableLogFile(bool disabled) {
    Guarded("DisableLogFile", [disabled] {
        LoopbackService& service = LoopbackService::Instance();
        service.Record(0, "DisableLogFile", {Value::Bool(disabled)});
        service.logger().SetFileDisabled(disabled);
    });
}

bool ZQLiveSDK::SetSocks5Proxy(const char* ip, unsigned short port, const char* username, const char* password) {
    return Guarded("SetSocks5Proxy", false, [=] {
        LoopbackService& service = LoopbackService::Instance();
        service.Record(0, "SetSocks5Proxy",
                       {Value::Text(ip), Value::Int(port), Value::Text(username), RecordValues::Secret(password)});
        const bool accepted = service.network().SetSocks5Proxy(ip, port, username, password);
        service.logger().Write(accepted ? loopback::Logger::kInfo : loopback::Logger::kWarning,
                               std::string("SOCKS5 proxy ") + (accepted ? "set" : "refused"));
        return accepted;
    });
}

bool ZQLiveSDK::SetEnvironment(const char* env) {
    return Guarded("SetEnvironment", false, [env] {
        LoopbackService& service = LoopbackService::Instance();
        service.Record(0, "SetEnvironment", {Value::Text(env)});
        const bool accepted = service.network().SetEnvironment(env);
        service.logger().Write(accepted ? loopback::Logger::kInfo : loopback::Logger::kWarning,
                               std::string("environment ") + (accepted ? env : "refused"));
        return accepted;
    });
}

}  // namespace live
}  // namespace mirelo
