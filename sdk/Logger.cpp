#include "Logger.h"

#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <system_error>

namespace mirelo {
namespace qolt {
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
    const long millis = static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
    std::tm local{};
    localtime_r(&seconds, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    char prefix[96];
    std::snprintf(prefix, sizeof prefix, "%s.%03ld [%s] [%ld] ", stamp, millis, LevelName(level),
                  static_cast<long>(syscall(SYS_gettid)));
    return prefix + message + "\n";
}

}  // namespace

bool Logger::SetPath(const char* path) {
    if (path == nullptr || *path == '\0') {
        return false;
    }
    std::error_code error;
    const std::filesystem::path directory(path);
    std::filesystem::create_directories(directory, error);
    if (!std::filesystem::is_directory(directory, error) || ::access(path, W_OK | X_OK) != 0) {
        return false;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (directory_ != path) {
        directory_ = path;
        file_.reset();
        file_failed_ = false;
    }
    return true;
}

void Logger::SetLevel(int level) {
    std::lock_guard<std::mutex> lock(mutex_);
    level_ = std::clamp(level, static_cast<int>(kVerbose), static_cast<int>(kNone));
}

void Logger::SetConsole(bool enabled) {
    std::lock_guard<std::mutex> lock(mutex_);
    console_ = enabled;
}

void Logger::SetFileDisabled(bool disabled) {
    std::lock_guard<std::mutex> lock(mutex_);
    file_disabled_ = disabled;
    if (disabled) {
        file_.reset();
    }
}

void Logger::SetCompressDisabled(bool disabled) {
    std::lock_guard<std::mutex> lock(mutex_);
    compress_disabled_ = disabled;
}

std::string Logger::FilePathLocked() const {
    if (directory_.empty() || file_disabled_) {
        return std::string();
    }
    return (std::filesystem::path(directory_) / ("mirelo_" + std::to_string(::getpid()) + ".log")).string();
}

void Logger::Write(Level level, const std::string& message) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (level < level_ || level >= kNone) {
        return;
    }
    const std::string line = FormatLine(level, message);
    if (console_) {
        std::fputs(line.c_str(), stderr);
        std::fflush(stderr);
    }
    const std::string path = FilePathLocked();
    if (path.empty()) {
        return;
    }
    if (!file_ && !file_failed_) {
        file_.reset(std::fopen(path.c_str(), "a"));
        file_failed_ = !file_;
    }
    if (file_) {
        std::fputs(line.c_str(), file_.get());
        std::fflush(file_.get());
    }
}

Logger::Settings Logger::settings() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return Settings{directory_, FilePathLocked(), level_, console_, file_disabled_, compress_disabled_};
}

}  // namespace qolt
}  // namespace mirelo
