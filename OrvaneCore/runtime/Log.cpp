#include "OrvaneCore/runtime/Log.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <iostream>

#ifdef ORVANE_HAVE_JOURNAL
#include <systemd/sd-journal.h>
#endif

namespace orvane {

std::string_view logLevelName(LogLevel level) {
  switch (level) {
    case LogLevel::Debug: return "debug";
    case LogLevel::Info: return "info";
    case LogLevel::Default: return "default";
    case LogLevel::Error: return "error";
  }
  return "?";
}

namespace {

struct Spec {
  bool boolean = false;
  std::string flags;      // printf flags, width and precision, e.g. "-08.3"
  std::string length;     // "l", "ll", "h", ...
  char conversion = 0;
};

std::string printfString(const std::string& spec, auto value) {
  char buffer[128];
  int n = std::snprintf(buffer, sizeof buffer, spec.c_str(), value);
  if (n < 0) return {};
  if (static_cast<std::size_t>(n) < sizeof buffer) return std::string(buffer, static_cast<std::size_t>(n));
  std::string out(static_cast<std::size_t>(n) + 1, '\0');
  std::snprintf(out.data(), out.size(), spec.c_str(), value);
  out.resize(static_cast<std::size_t>(n));
  return out;
}

std::string render(const Spec& spec, const LogArg& arg) {
  const auto asInt = [&]() -> long long {
    if (auto* v = std::get_if<std::int64_t>(&arg)) return *v;
    if (auto* v = std::get_if<std::uint64_t>(&arg)) return static_cast<long long>(*v);
    if (auto* v = std::get_if<bool>(&arg)) return *v ? 1 : 0;
    if (auto* v = std::get_if<double>(&arg)) return static_cast<long long>(*v);
    return 0;
  };
  const auto asDouble = [&]() -> double {
    if (auto* v = std::get_if<double>(&arg)) return *v;
    if (auto* v = std::get_if<std::uint64_t>(&arg)) return static_cast<double>(*v);
    return static_cast<double>(asInt());
  };
  if (auto* text = std::get_if<std::string_view>(&arg)) {
    if (spec.conversion == 's' || spec.conversion == '@' || spec.boolean) {
      if (spec.flags.empty()) return std::string(*text);
      return printfString("%" + spec.flags + "s", std::string(*text).c_str());
    }
    return std::string(*text);
  }
  if (spec.boolean) return asInt() != 0 ? "true" : "false";
  switch (spec.conversion) {
    case 'd':
    case 'i':
      return printfString("%" + spec.flags + "lld", asInt());
    case 'u':
    case 'x':
    case 'X':
    case 'o': {
      unsigned long long v = std::holds_alternative<std::uint64_t>(arg) ? std::get<std::uint64_t>(arg)
                                                                         : static_cast<unsigned long long>(asInt());
      // A 32-bit conversion shows the value as the C varargs call would.
      if (spec.length.empty() || spec.length == "h") v &= 0xFFFFFFFFull;
      return printfString("%" + spec.flags + "ll" + spec.conversion, v);
    }
    case 'f':
    case 'F':
    case 'e':
    case 'E':
    case 'g':
    case 'G':
    case 'a':
      return printfString("%" + spec.flags + spec.conversion, asDouble());
    case 'c':
      return std::string(1, static_cast<char>(asInt()));
    default: {
      // '%s' or '%@' given a number: print it plainly.
      if (std::holds_alternative<double>(arg)) return printfString("%g", asDouble());
      if (auto* v = std::get_if<std::uint64_t>(&arg)) return std::to_string(*v);
      if (auto* v = std::get_if<bool>(&arg)) return *v ? "true" : "false";
      return std::to_string(asInt());
    }
  }
}

bool isLengthChar(char c) { return c == 'l' || c == 'h' || c == 'q' || c == 'z' || c == 'j' || c == 't' || c == 'L'; }

}  // namespace

std::string formatLog(std::string_view format, std::initializer_list<LogArg> args) {
  std::string out;
  out.reserve(format.size() + 16 * args.size());
  auto next = args.begin();
  std::size_t i = 0;
  while (i < format.size()) {
    char c = format[i];
    if (c != '%') {
      std::size_t end = format.find('%', i);
      if (end == std::string_view::npos) end = format.size();
      out.append(format.substr(i, end - i));
      i = end;
      continue;
    }
    if (i + 1 < format.size() && format[i + 1] == '%') {
      out.push_back('%');
      i += 2;
      continue;
    }
    std::size_t j = i + 1;
    Spec spec;
    if (j < format.size() && format[j] == '{') {
      std::size_t close = format.find('}', j);
      if (close == std::string_view::npos) {
        out.append(format.substr(i));
        break;
      }
      std::string_view annotations = format.substr(j + 1, close - j - 1);
      spec.boolean = annotations == "bool" || annotations.starts_with("bool,") ||
                     annotations.find(",bool") != std::string_view::npos;
      j = close + 1;
    }
    while (j < format.size() && std::string_view("-+ #0123456789.").find(format[j]) != std::string_view::npos) {
      spec.flags.push_back(format[j++]);
    }
    while (j < format.size() && isLengthChar(format[j])) spec.length.push_back(format[j++]);
    if (j >= format.size()) {
      out.append(format.substr(i));
      break;
    }
    spec.conversion = format[j];
    i = j + 1;
    if (next == args.end()) {
      out.append("<missing>");
      continue;
    }
    out.append(render(spec, *next++));
  }
  return out;
}

SystemLogSink::SystemLogSink() : minLevel_(LogLevel::Info), toJournal_(false), toStderr_(true) {
  if (const char* level = std::getenv("ORVANE_LOG_LEVEL")) {
    std::string_view v(level);
    if (v == "debug") minLevel_ = LogLevel::Debug;
    if (v == "default") minLevel_ = LogLevel::Default;
    if (v == "error") minLevel_ = LogLevel::Error;
  }
#ifdef ORVANE_HAVE_JOURNAL
  toJournal_ = access("/run/systemd/journal/socket", W_OK) == 0;
  // Under systemd standard error already goes to the journal: do not write twice.
  if (toJournal_ && std::getenv("JOURNAL_STREAM") != nullptr) toStderr_ = false;
#endif
}

void SystemLogSink::write(const LogRecord& record) {
  if (!enabled(record.level)) return;
#ifdef ORVANE_HAVE_JOURNAL
  if (toJournal_) {
    static constexpr int kPriority[] = {7 /*debug*/, 6 /*info*/, 5 /*notice*/, 3 /*err*/};
    sd_journal_send("MESSAGE=%s", record.message.c_str(), "PRIORITY=%d", kPriority[static_cast<int>(record.level)],
                    "SYSLOG_IDENTIFIER=orvane", "ORVANE_SUBSYSTEM=%s", record.subsystem.c_str(),
                    "ORVANE_CATEGORY=%s", record.category.c_str(), nullptr);
  }
#endif
  if (!toStderr_) return;
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  tm local{};
  localtime_r(&ts.tv_sec, &local);
  char stamp[40];
  std::size_t n = std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
  std::snprintf(stamp + n, sizeof stamp - n, ".%03ld", ts.tv_nsec / 1000000);
  std::string line;
  line.reserve(record.message.size() + 96);
  line.append(stamp).append(" <").append(logLevelName(record.level)).append("> ");
  line.append(record.subsystem).append(" [").append(record.category).append("] ");
  line.append(record.message).push_back('\n');
  std::lock_guard lock(mutex_);
  std::fwrite(line.data(), 1, line.size(), stderr);
}

void SystemLogSink::writeLine(std::string_view line) {
  std::lock_guard lock(mutex_);
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

LogSink& systemLogSink() {
  static SystemLogSink sink;
  return sink;
}

void CapturingLogSink::write(const LogRecord& record) {
  std::lock_guard lock(mutex_);
  records_.push_back(record);
}

void CapturingLogSink::writeLine(std::string_view line) {
  std::lock_guard lock(mutex_);
  lines_.emplace_back(line);
}

std::vector<LogRecord> CapturingLogSink::records() const {
  std::lock_guard lock(mutex_);
  return records_;
}

std::vector<std::string> CapturingLogSink::messages() const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> out;
  out.reserve(records_.size());
  for (const auto& r : records_) out.push_back(r.message);
  return out;
}

std::vector<std::string> CapturingLogSink::lines() const {
  std::lock_guard lock(mutex_);
  return lines_;
}

bool CapturingLogSink::hasMessage(std::string_view message) const {
  std::lock_guard lock(mutex_);
  return std::any_of(records_.begin(), records_.end(), [&](const LogRecord& r) { return r.message == message; });
}

bool CapturingLogSink::hasLine(std::string_view line) const {
  std::lock_guard lock(mutex_);
  return std::find(lines_.begin(), lines_.end(), line) != lines_.end();
}

void CapturingLogSink::clear() {
  std::lock_guard lock(mutex_);
  records_.clear();
  lines_.clear();
}

}  // namespace orvane
