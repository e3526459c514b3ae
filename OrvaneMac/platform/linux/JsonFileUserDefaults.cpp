#include "OrvaneMac/platform/linux/JsonFileUserDefaults.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <nlohmann/json.hpp>
#include <vector>

namespace orvane {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  // Closes now and reports failure: for a written file, close can be where
  // a deferred write error shows up.
  bool close() {
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
  }

 private:
  int fd_;
};

using FileState = JsonFileUserDefaults::FileState;

struct Loaded {
  Loaded(FileState s, json o = json::object()) : state(s), object(std::move(o)) {}
  FileState state;
  json object;  // empty unless usable
};

Loaded load(const fs::path& path) {
  // Non-blocking so a FIFO planted at the path cannot hang a read.
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!fd) return {errno == ENOENT || errno == ENOTDIR ? FileState::missing : FileState::unreadable};
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return {FileState::unreadable};
  if (!S_ISREG(st.st_mode)) return {FileState::notAFile};
  std::string text;
  char buffer[16384];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n > 0) {
      text.append(buffer, static_cast<std::size_t>(n));
      if (text.size() > JsonFileUserDefaults::kMaxFileBytes) return {FileState::tooLarge};
    } else if (n == 0) {
      break;
    } else if (errno != EINTR) {
      return {FileState::unreadable};
    }
  }
  if (text.find_first_not_of(" \t\r\n") == std::string::npos) return {FileState::missing};
  json parsed = json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (parsed.is_discarded()) return {FileState::notJson};
  if (!parsed.is_object()) return {FileState::notAnObject};
  return {FileState::usable, std::move(parsed)};
}

std::optional<DefaultsValue> fromJson(const json& v) {
  switch (v.type()) {
    case json::value_t::boolean:
      return v.get<bool>();
    case json::value_t::number_integer:
      return v.get<std::int64_t>();
    case json::value_t::number_unsigned: {
      // The parser stores every non-negative integer as unsigned.
      const auto u = v.get<std::uint64_t>();
      if (u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return std::nullopt;
      return static_cast<std::int64_t>(u);
    }
    case json::value_t::number_float: {
      const double d = v.get<double>();
      if (!std::isfinite(d)) return std::nullopt;
      return d;
    }
    case json::value_t::string:
      return v.get<std::string>();
    default:
      return std::nullopt;
  }
}

json toJson(const DefaultsValue& value) {
  return std::visit([](const auto& v) { return json(v); }, value);
}

bool representable(const DefaultsValue& value) {
  const auto* d = std::get_if<double>(&value);
  return d == nullptr || std::isfinite(*d);
}

// Creates the missing directories of `dir`, each private to the user.
bool makeDirectories(const fs::path& dir) {
  if (dir.empty()) return true;
  struct stat st {};
  if (::stat(dir.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  if (dir.has_parent_path() && dir.parent_path() != dir && !makeDirectories(dir.parent_path())) return false;
  return ::mkdir(dir.c_str(), 0700) == 0 || errno == EEXIST;
}

bool writeAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

std::string tempPrefix(const fs::path& target) { return "." + target.filename().string() + "."; }

// Temporary files of writers killed between creating and renaming them. Only
// called under the lock, when no other writer can have one in progress.
void removeAbandonedTemporaries(const fs::path& target) {
  const std::string prefix = tempPrefix(target);
  std::error_code ec;
  for (fs::directory_iterator it(target.parent_path(), ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.size() == prefix.size() + 6 && name.compare(0, prefix.size(), prefix) == 0) {
      ::unlink(it->path().c_str());
    }
  }
}

// Renames an unusable file to a fresh "<name>.unusable-XXXXXX" beside it.
bool moveAside(const fs::path& target) {
  std::string aside = target.string() + ".unusable-XXXXXX";
  Fd placeholder(::mkostemp(aside.data(), O_CLOEXEC));
  if (!placeholder) return false;
  if (::rename(target.c_str(), aside.c_str()) != 0) {
    ::unlink(aside.c_str());
    return false;
  }
  return true;
}

// Writes `text` to a new file beside `target` and renames it into place, so
// the target is always either the old or the new file.
bool replaceFile(const fs::path& target, int dirFd, const std::string& text) {
  std::string temp = (target.parent_path() / (tempPrefix(target) + "XXXXXX")).string();
  Fd fd(::mkostemp(temp.data(), O_CLOEXEC));
  if (!fd) return false;
  bool ok = writeAll(fd.get(), text) && ::fsync(fd.get()) == 0;
  ok = fd.close() && ok;
  if (ok) ok = ::rename(temp.c_str(), target.c_str()) == 0;
  if (!ok) {
    ::unlink(temp.c_str());
    return false;
  }
  // Makes the rename itself durable; the data is already on disk.
  ::fsync(dirFd);
  return true;
}

std::string homeDirectory(const char* home) {
  if (home != nullptr && *home != '\0') return home;
  struct passwd pw {};
  struct passwd* result = nullptr;
  std::vector<char> buffer(16384);
  if (::getpwuid_r(::getuid(), &pw, buffer.data(), buffer.size(), &result) == 0 && result != nullptr &&
      result->pw_dir != nullptr) {
    return result->pw_dir;
  }
  return {};
}

}  // namespace

fs::path JsonFileUserDefaults::defaultPath() {
  return defaultPath(std::getenv("XDG_CONFIG_HOME"), homeDirectory(std::getenv("HOME")).c_str());
}

fs::path JsonFileUserDefaults::defaultPath(const char* xdgConfigHome, const char* home) {
  fs::path base;
  if (xdgConfigHome != nullptr && *xdgConfigHome == '/') {
    base = xdgConfigHome;
  } else if (home != nullptr && *home != '\0') {
    base = fs::path(home) / ".config";
  }
  return base / "orvane" / "defaults.json";
}

JsonFileUserDefaults::JsonFileUserDefaults(fs::path file) : file_(std::move(file)) {}

JsonFileUserDefaults::FileState JsonFileUserDefaults::fileState() const { return load(file_).state; }

std::optional<DefaultsValue> JsonFileUserDefaults::value(const std::string& key) const {
  const Loaded loaded = load(file_);
  auto it = loaded.object.find(key);
  if (it == loaded.object.end()) return std::nullopt;
  return fromJson(*it);
}

void JsonFileUserDefaults::set(const std::string& key, DefaultsValue value) {
  update(key, representable(value) ? std::optional(std::move(value)) : std::nullopt);
}

void JsonFileUserDefaults::remove(const std::string& key) { update(key, std::nullopt); }

bool JsonFileUserDefaults::update(const std::string& key, const std::optional<DefaultsValue>& value) {
  std::lock_guard lock(writeMutex_);
  const fs::path dir = file_.has_parent_path() ? file_.parent_path() : fs::path(".");
  if (!makeDirectories(dir)) return false;
  Fd dirFd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dirFd) return false;
  // Serialises read-modify-write with other writers, in this process or not.
  // Where the filesystem cannot lock, writing unlocked beats not writing.
  int locked;
  while ((locked = ::flock(dirFd.get(), LOCK_EX)) != 0 && errno == EINTR) {
  }
  const fs::path target = file_.has_parent_path() ? file_ : dir / file_;
  if (locked == 0) removeAbandonedTemporaries(target);

  Loaded loaded = load(file_);
  json& object = loaded.object;
  if (value) {
    auto it = object.find(key);
    if (loaded.state == FileState::usable && it != object.end() && fromJson(*it) == value) return true;
    object[key] = toJson(*value);
  } else {
    if (!object.contains(key)) return true;
    object.erase(key);
  }
  if (loaded.state != FileState::usable && loaded.state != FileState::missing && !moveAside(target)) return false;
  // Pretty-printed: the file is also meant to be read and edited by hand.
  std::string text = object.dump(2, ' ', false, json::error_handler_t::replace);
  text.push_back('\n');
  return replaceFile(target, dirFd.get(), text);
}

}  // namespace orvane
