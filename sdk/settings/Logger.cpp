#include "settings/Logger.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <system_error>
#include <utility>

namespace mirelo {
namespace loopback {
namespace {

const char* LevelName(Logger::Level level) {
    switch (level) {
        case Logger::kVerbose:
            return "VERBOSE";
        case Logger::kDebug:
            return "DEBUG";
        case Logger::kInfo:
            return "INFO";
        case Logger::kWarning:
            return "WARNING";
        case Logger::kError:
            return "ERROR";
        case Logger::kFatal:
            return "FATAL";
        case Logger::kNone:
            break;
    }
    return "NONE";
}

std::string FormatLine(Logger::Level level, const std::string& message) {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const long millis =
        static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
    std::tm local{};
    localtime_r(&seconds, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    char prefix[96];
    std::snprintf(prefix, sizeof prefix, "%s.%03ld [%s] [%ld] ", stamp, millis, LevelName(level),
                  static_cast<long>(syscall(SYS_gettid)));
    return prefix + message + "\n";
}

// Writes all of `text`, resuming after interruptions and short writes.
bool WriteAll(int descriptor, const std::string& text) {
    const char* cursor = text.data();
    size_t left = text.size();
    while (left > 0) {
        const ssize_t written = ::write(descriptor, cursor, left);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        cursor += written;
        left -= static_cast<size_t>(written);
    }
    return true;
}

}  // namespace

Logger::File& Logger::File::operator=(File&& other) noexcept {
    if (this != &other) {
        File closed(release());
        descriptor_ = other.release();
    }
    return *this;
}

Logger::File::~File() {
    if (descriptor_ >= 0) {
        ::close(descriptor_);
    }
}

int Logger::File::release() noexcept { return std::exchange(descriptor_, -1); }

Logger::File Logger::Open(const std::string& path, std::string& error) {
    // O_NOFOLLOW: a symbolic link planted under the log's name would send the log into any file
    // this process can write. O_NONBLOCK: a FIFO without a reader fails at once instead of
    // blocking the open; a FIFO with one is refused below.
    File file(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK,
                     S_IRUSR | S_IWUSR));
    if (!file) {
        const int failure = errno;
        error = path + (failure == ELOOP    ? ": is a symbolic link"
                        : failure == ENXIO  ? ": is a FIFO or a device"
                        : failure == EISDIR ? ": is a directory"
                                            : std::string(": ") + std::strerror(failure));
        return File();
    }
    struct stat status {};
    if (::fstat(file.get(), &status) != 0) {
        error = path + ": " + std::strerror(errno);
        return File();
    }
    if (!S_ISREG(status.st_mode)) {
        error = path + ": is not a regular file";
        return File();
    }
    if (status.st_uid != ::geteuid()) {
        error = path + ": belongs to another user";
        return File();
    }
    if (status.st_nlink != 1) {
        error = path + ": has other names (hard links)";
        return File();
    }
    // The mode given to open is narrowed by the umask and ignored for a file that exists.
    if ((status.st_mode & 07777) != (S_IRUSR | S_IWUSR) && ::fchmod(file.get(), S_IRUSR | S_IWUSR) != 0) {
        error = path + ": cannot be made private: " + std::strerror(errno);
        return File();
    }
    const int flags = ::fcntl(file.get(), F_GETFL);
    if (flags < 0 || ::fcntl(file.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
        error = path + ": " + std::strerror(errno);
        return File();
    }
    return file;
}

std::string Logger::FileIn(const std::string& directory) {
    return (std::filesystem::path(directory) / ("mirelo_" + std::to_string(::getpid()) + ".log")).string();
}

bool Logger::SetPath(const char* path, std::string* refusal) {
    if (path == nullptr || *path == '\0') {
        return false;
    }
    std::error_code error;
    const std::filesystem::path directory(path);
    std::filesystem::create_directories(directory, error);
    if (!std::filesystem::is_directory(directory, error) || ::access(path, W_OK | X_OK) != 0) {
        return false;
    }
    MutexLock lock(mutex_);
    if (directory_ == path && !file_failed_) {
        return true;
    }
    File opened;
    if (!file_disabled_) {
        std::string reason;
        opened = Open(FileIn(path), reason);
        if (!opened) {
            if (refusal != nullptr) {
                *refusal = std::move(reason);
            }
            return false;
        }
    }
    directory_ = path;
    file_ = std::move(opened);
    file_failed_ = false;
    file_error_.clear();
    return true;
}

void Logger::SetLevel(int level) {
    MutexLock lock(mutex_);
    level_ = std::clamp(level, static_cast<int>(kVerbose), static_cast<int>(kNone));
}

void Logger::SetConsole(bool enabled) {
    MutexLock lock(mutex_);
    console_ = enabled;
}

void Logger::SetFileDisabled(bool disabled) {
    MutexLock lock(mutex_);
    file_disabled_ = disabled;
    if (disabled) {
        file_ = File();
    }
}

void Logger::SetCompressDisabled(bool disabled) {
    MutexLock lock(mutex_);
    compress_disabled_ = disabled;
}

std::string Logger::FilePathLocked() const {
    if (directory_.empty() || file_disabled_ || file_failed_) {
        return std::string();
    }
    return FileIn(directory_);
}

void Logger::Write(Level level, const std::string& message) noexcept {
    // A line that cannot be formatted or written (memory exhausted, a full disk) is lost: the
    // log must never turn the operation that writes it into a failure.
    try {
        MutexLock lock(mutex_);
        if (level < level_ || level >= kNone) {
            return;
        }
        const std::string line = FormatLine(level, message);
        if (console_) {
            std::fputs(line.c_str(), stderr);
            std::fflush(stderr);
        }
        if (directory_.empty() || file_disabled_ || file_failed_) {
            return;
        }
        if (!file_) {
            file_ = Open(FileIn(directory_), file_error_);
            file_failed_ = !file_;
        }
        if (file_) {
            WriteAll(file_.get(), line);
        }
    } catch (...) {
    }
}

Logger::Settings Logger::settings() const {
    MutexLock lock(mutex_);
    return Settings{directory_,     FilePathLocked(),  file_failed_ ? file_error_ : std::string(), level_, console_,
                    file_disabled_, compress_disabled_};
}

}  // namespace loopback
}  // namespace mirelo
