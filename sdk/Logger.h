#ifndef MIRELO_SDK_LOGGER_H
#define MIRELO_SDK_LOGGER_H

#include <cstdio>
#include <memory>
#include <mutex>
#include <string>

namespace mirelo {
namespace qolt {

// The SDK's log. One file per process, mirelo_<pid>.log, in the directory given by SetLogPath;
// no file is written before a path is set or while the file is disabled. Console copies go to
// standard error and are off until EnableConsoleLog. Lines below the level are not written.
// The loopback never compresses its log, so the compression setting is only kept.
class Logger {
public:
    enum Level { kVerbose = 0, kDebug = 1, kInfo = 2, kWarning = 3, kError = 4, kFatal = 5, kNone = 6 };
    static constexpr int kDefaultLevel = kInfo;

    struct Settings {
        std::string directory;
        std::string file_path;  // empty while no file is written
        int level;
        bool console;
        bool file_disabled;
        bool compress_disabled;
    };

    // False, with the setting unchanged, for a null or empty path or a directory that cannot be
    // created or written.
    bool SetPath(const char* path);
    void SetLevel(int level);  // clamped to kVerbose..kNone
    void SetConsole(bool enabled);
    void SetFileDisabled(bool disabled);
    void SetCompressDisabled(bool disabled);

    void Write(Level level, const std::string& message);
    Settings settings() const;

    // Held by ForkGuard across fork(), so that a child inherits this state consistent and unlocked.
    std::unique_lock<std::mutex> LockForFork() const { return std::unique_lock<std::mutex>(mutex_); }

private:
    struct FileCloser {
        void operator()(std::FILE* file) const { std::fclose(file); }
    };

    std::string FilePathLocked() const;

    mutable std::mutex mutex_;                      // also orders the lines of concurrent writers
    std::string directory_;                         // guarded by mutex_
    std::unique_ptr<std::FILE, FileCloser> file_;   // guarded by mutex_; opened on the first line
    bool file_failed_ = false;                      // guarded by mutex_; stops retrying a broken file
    int level_ = kDefaultLevel;                     // guarded by mutex_
    bool console_ = false;                          // guarded by mutex_
    bool file_disabled_ = false;                    // guarded by mutex_
    bool compress_disabled_ = false;                // guarded by mutex_
};

}  // namespace qolt
}  // namespace mirelo

#endif  // MIRELO_SDK_LOGGER_H
