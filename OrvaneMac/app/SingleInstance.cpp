#include "OrvaneMac/app/SingleInstance.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <charconv>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <system_error>

namespace orvane::app {

namespace {

constexpr std::size_t kMaxRecordBytes = 128;

struct Record {
  pid_t pid = 0;
  std::uint64_t launchTime = 0;
  std::uint64_t processStart = 0;
};

std::optional<Record> readRecord(const std::filesystem::path& file) {
  std::ifstream in(file);
  std::string text(kMaxRecordBytes, '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<std::size_t>(in.gcount()));
  std::istringstream fields(text);
  Record record;
  long long pid = 0;
  if (!(fields >> pid >> record.launchTime >> record.processStart) || pid <= 0) return std::nullopt;
  record.pid = static_cast<pid_t>(pid);
  return record;
}

// Ticks since boot now, for a process whose own start /proc does not give.
std::uint64_t nowTicks() {
  timespec now{};
  ::clock_gettime(CLOCK_BOOTTIME, &now);
  const auto ticks = static_cast<std::uint64_t>(::sysconf(_SC_CLK_TCK));
  return static_cast<std::uint64_t>(now.tv_sec) * ticks + static_cast<std::uint64_t>(now.tv_nsec) * ticks / 1'000'000'000;
}

}  // namespace

std::optional<std::uint64_t> processStartTicks(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat;
  if (!std::getline(in, stat)) return std::nullopt;
  // The command name may hold spaces and parentheses: fields count from the last ')'.
  const auto close = stat.rfind(')');
  if (close == std::string::npos) return std::nullopt;
  std::istringstream fields(stat.substr(close + 1));
  std::string field;
  // The state is field 3 and the start time field 22.
  for (int index = 3; index < 22; ++index) {
    if (!(fields >> field)) return std::nullopt;
  }
  std::uint64_t start = 0;
  if (!(fields >> start)) return std::nullopt;
  return start;
}

std::filesystem::path instanceDirectory(const std::string& display) {
  std::string name = "host-" + (display.empty() ? std::string("none") : display);
  for (char& c : name) {
    if (c == '/') c = '_';
  }
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && runtime[0] == '/') return std::filesystem::path(runtime) / "orvane" / name;
  return std::filesystem::path("/tmp") / ("orvane-" + std::to_string(::getuid())) / name;
}

SingleInstance::SingleInstance(Executor& main, Options options, std::function<void()> quit)
    : main_(main),
      directory_(std::move(options.directory)),
      pid_(options.pid),
      processStart_(processStartTicks(options.pid).value_or(0)),
      launchTime_(options.launchTime.value_or(processStart_ != 0 ? processStart_ : nowTicks())),
      quit_(std::move(quit)) {}

SingleInstance::~SingleInstance() {
  if (!registered_) return;
  std::error_code ignored;
  std::filesystem::remove(recordPath(pid_), ignored);
}

std::filesystem::path SingleInstance::recordPath(pid_t pid) const { return directory_ / std::to_string(pid); }

bool SingleInstance::start() {
  ORVANE_ASSERT_ON(main_);
  std::error_code error;
  std::filesystem::create_directories(directory_, error);
  // The directory is shared only with this user's own copies: one somebody
  // else made, or opened to others, could be used to make the host quit.
  struct stat info{};
  if (::lstat(directory_.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != ::getuid()) return false;
  if ((info.st_mode & 077) != 0 && ::chmod(directory_.c_str(), 0700) != 0) return false;

  // Written aside and renamed, so another copy never reads half a record.
  const std::filesystem::path file = recordPath(pid_);
  std::filesystem::path temporary = file;
  temporary += ".tmp";
  {
    std::ofstream out(temporary, std::ios::trunc);
    out << pid_ << ' ' << launchTime_ << ' ' << processStart_ << '\n';
    if (!out.flush()) return false;
  }
  std::filesystem::rename(temporary, file, error);
  if (error) {
    std::filesystem::remove(temporary, error);
    return false;
  }
  registered_ = true;
  schedule();
  return true;
}

void SingleInstance::schedule() {
  timer_ = main_.postAfter(Seconds(kCheckIntervalSeconds), [this] {
    if (!check()) schedule();
  });
}

bool SingleInstance::check() {
  ORVANE_ASSERT_ON(main_);
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(directory_, error)) {
    const std::string name = entry.path().filename().string();
    pid_t pid = 0;
    const auto [end, status] = std::from_chars(name.data(), name.data() + name.size(), pid);
    if (status != std::errc() || end != name.data() + name.size() || pid == pid_) continue;
    const std::optional<Record> record = readRecord(entry.path());
    if (!record || record->pid != pid) continue;
    const std::optional<std::uint64_t> start = processStartTicks(pid);
    if (!start || *start != record->processStart) {
      // That copy is gone; its pid may already belong to another program.
      std::filesystem::remove(entry.path(), error);
      continue;
    }
    if (record->launchTime > launchTime_) {
      timer_.cancel();
      quit_();
      return true;
    }
  }
  return false;
}

}  // namespace orvane::app
