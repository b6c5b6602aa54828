#ifndef MIRELO_SDK_LOGGER_H
#define MIRELO_SDK_LOGGER_H

#include <string>

#include "runtime/Mutex.h"

namespace mirelo {
namespace loopback {

// The SDK's log. One file per process, mirelo_<pid>.log, in the directory given by SetLogPath;
// no file is written before a path is set or while the file is disabled. Console copies go to
// standard error and are off until EnableConsoleLog. Lines below the level are not written.
// The loopback never compresses its log, so the compression setting is only kept.
//
// The log names users and rooms, and its directory may be shared: the file is created readable
// by its owner only (0600, whatever the umask), a link planted under its name is never followed,
// and anything but a regular file of this user with a single name (a FIFO, a directory, a device,
// another user's file, a hard link) is refused. A refused file means no log file: SetPath says so
// by its result, a later (re)opening through Settings::file_error. Writing never throws.
class Logger {
public:
    enum Level { kVerbose = 0, kDebug = 1, kInfo = 2, kWarning = 3, kError = 4, kFatal = 5, kNone = 6 };
    static constexpr int kDefaultLevel = kInfo;

    struct Settings {
        std::string directory;
        std::string file_path;   // empty while no file is written
        std::string file_error;  // why the file of the directory was refused or failed; empty if it was not
        int level;
        bool console;
        bool file_disabled;
        bool compress_disabled;
    };

    // False, with the setting unchanged, for a null or empty path, a directory that cannot be
    // created or written, or (while the file is enabled) a log file there that cannot be opened
    // safely; `refusal`, when given, then receives the reason. The file is opened here, so that the
    // result says whether the log will be written.
    bool SetPath(const char* path, std::string* refusal = nullptr);
    void SetLevel(int level);  // clamped to kVerbose..kNone
    void SetConsole(bool enabled);
    void SetFileDisabled(bool disabled);
    void SetCompressDisabled(bool disabled);

    void Write(Level level, const std::string& message) noexcept;
    Settings settings() const;

private:
    // An open file descriptor, closed with its owner.
    class File {
    public:
        File() = default;
        explicit File(int descriptor) : descriptor_(descriptor) {}
        File(File&& other) noexcept : descriptor_(other.release()) {}
        File& operator=(File&& other) noexcept;
        ~File();
        explicit operator bool() const { return descriptor_ >= 0; }
        int get() const { return descriptor_; }
        int release() noexcept;

    private:
        int descriptor_ = -1;
    };

    // Opens `path` for appending as the class comment says; an empty File, with the reason in
    // `error`, if it is refused.
    static File Open(const std::string& path, std::string& error);
    static std::string FileIn(const std::string& directory);
    std::string FilePathLocked() const REQUIRES(mutex_);

    mutable Mutex mutex_{LockRank::kLogger};  // also orders the lines of concurrent writers
    std::string directory_ GUARDED_BY(mutex_);
    File file_ GUARDED_BY(mutex_);                 // opened by SetPath or the first line
    bool file_failed_ GUARDED_BY(mutex_) = false;  // stops retrying a refused file
    std::string file_error_ GUARDED_BY(mutex_);    // why, while file_failed_
    int level_ GUARDED_BY(mutex_) = kDefaultLevel;
    bool console_ GUARDED_BY(mutex_) = false;
    bool file_disabled_ GUARDED_BY(mutex_) = false;
    bool compress_disabled_ GUARDED_BY(mutex_) = false;
};

}  // namespace loopback
}  // namespace mirelo

#endif  // MIRELO_SDK_LOGGER_H
