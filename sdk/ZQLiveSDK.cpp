#include "mirelo_sdk.h"

namespace mirelo {
namespace live {

bool ZQLiveSDK::SetLogPath(const char*) { return true; }
void ZQLiveSDK::SetLogLevel(int) {}
void ZQLiveSDK::EnableConsoleLog() {}
void ZQLiveSDK::DisableConsoleLog() {}
void ZQLiveSDK::DisableLogCompress(bool) {}
void ZQLiveSDK::DisableLogFile(bool) {}
bool ZQLiveSDK::SetSocks5Proxy(const char*, unsigned short, const char*, const char*) { return true; }
bool ZQLiveSDK::SetEnvironment(const char*) { return true; }

}  // namespace live
}  // namespace mirelo
