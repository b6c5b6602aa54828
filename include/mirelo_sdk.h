// The media SDK's process-wide settings. Text arguments may be null; the SDK copies what it keeps.
#ifndef MIRELO_SDK_H
#define MIRELO_SDK_H

#include "qolt/mirelo_qolt_cloud.h"
#include "qolt/mirelo_qolt_defines.h"

namespace mirelo {
namespace live {

class MIRELO_API ZQLiveSDK {
public:
    static bool SetLogPath(const char* path);
    static void SetLogLevel(int level);
    static void EnableConsoleLog();
    static void DisableConsoleLog();
    static void DisableLogCompress(bool disabled);
    static void DisableLogFile(bool disabled);
    static bool SetSocks5Proxy(const char* ip, unsigned short port, const char* username, const char* password);
    static bool SetEnvironment(const char* env);
};

}  // namespace live
}  // namespace mirelo

#endif  // MIRELO_SDK_H
