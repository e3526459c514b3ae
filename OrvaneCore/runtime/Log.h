#pragma once

#include <cstdint>
#include <initializer_list>
#include <mutex>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

namespace orvane {

enum class LogLevel { Debug, Info, Default, Error };

std::string_view logLevelName(LogLevel level);

struct LogRecord {
  LogLevel level;
  std::string subsystem;
  std::string category;
  std::string message;
};

// Where log records and the plain standard-output lines of some components go.
// Implementations must be callable from any thread.
class LogSink {
 public:
  virtual ~LogSink() = default;
  virtual bool enabled(LogLevel level) const = 0;
  virtual void write(const LogRecord& record) = 0;
  // One plain line as a component prints it to standard output (no newline).
  virtual void writeLine(std::string_view line) = 0;
};

// Records to standard error (and the systemd journal when one runs), lines to
// standard output. Debug records are shown when ORVANE_LOG_LEVEL=debug.
class SystemLogSink final : public LogSink {
 public:
  SystemLogSink();
  bool enabled(LogLevel level) const override { return level >= minLevel_; }
  void write(const LogRecord& record) override;
  void writeLine(std::string_view line) override;

 private:
  LogLevel minLevel_;
  bool toJournal_;
  bool toStderr_;
  std::mutex mutex_;
};

// The process's system sink, created on first use.
LogSink& systemLogSink();

// Keeps everything for tests to assert the exact lines.
class CapturingLogSink final : public LogSink {
 public:
  bool enabled(LogLevel) const override { return true; }
  void write(const LogRecord& record) override;
  void writeLine(std::string_view line) override;

  std::vector<LogRecord> records() const;
  std::vector<std::string> messages() const;  // record messages only, in order
  std::vector<std::string> lines() const;     // standard-output lines, in order
  bool hasMessage(std::string_view message) const;
  bool hasLine(std::string_view line) const;
  void clear();

 private:
  mutable std::mutex mutex_;
  std::vector<LogRecord> records_;
  std::vector<std::string> lines_;
};

// One argument of a log format. Strings are viewed, not copied: they only need
// to live for the duration of the call.
using LogArg = std::variant<std::int64_t, std::uint64_t, double, bool, std::string_view>;

template <typename T>
LogArg toLogArg(const T& value) {
  if constexpr (std::is_same_v<T, bool>) {
    return value;
  } else if constexpr (std::is_enum_v<T>) {
    return static_cast<std::int64_t>(value);
  } else if constexpr (std::is_integral_v<T> && std::is_signed_v<T>) {
    return static_cast<std::int64_t>(value);
  } else if constexpr (std::is_integral_v<T>) {
    return static_cast<std::uint64_t>(value);
  } else if constexpr (std::is_floating_point_v<T>) {
    return static_cast<double>(value);
  } else {
    return std::string_view(value);
  }
}

// Renders a format string written for the system log: printf conversions with
// an optional "{...}" annotation ("%{public}s", "%{public}ld", "%{public}f").
// The "bool" annotation prints "true"/"false". Missing arguments print
// "<missing>"; extra ones are ignored.
std::string formatLog(std::string_view format, std::initializer_list<LogArg> args);

// A named log, as Logger(subsystem, category) of the system log.
class Logger {
 public:
  Logger(std::string subsystem, std::string category, LogSink& sink = systemLogSink())
      : subsystem_(std::move(subsystem)), category_(std::move(category)), sink_(&sink) {}

  template <typename... Args>
  void debug(std::string_view format, const Args&... args) const {
    log(LogLevel::Debug, format, args...);
  }
  template <typename... Args>
  void info(std::string_view format, const Args&... args) const {
    log(LogLevel::Info, format, args...);
  }
  // The system log's "default" level.
  template <typename... Args>
  void notice(std::string_view format, const Args&... args) const {
    log(LogLevel::Default, format, args...);
  }
  template <typename... Args>
  void error(std::string_view format, const Args&... args) const {
    log(LogLevel::Error, format, args...);
  }

  template <typename... Args>
  void log(LogLevel level, std::string_view format, const Args&... args) const {
    if (!sink_->enabled(level)) return;
    sink_->write(LogRecord{level, subsystem_, category_, formatLog(format, {toLogArg(args)...})});
  }

  const std::string& subsystem() const { return subsystem_; }
  const std::string& category() const { return category_; }

 private:
  std::string subsystem_;
  std::string category_;
  LogSink* sink_;
};

// Writes the plain standard-output lines some components print instead of
// logging ("[AppCatalog] ...").
class Console {
 public:
  explicit Console(LogSink& sink = systemLogSink()) : sink_(&sink) {}
  void print(std::string_view line) const { sink_->writeLine(line); }

 private:
  LogSink* sink_;
};

}  // namespace orvane
