#pragma once

#include <cstddef>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>

#include "OrvaneCore/runtime/UserDefaults.h"

namespace orvane {

// User defaults kept as one JSON object in a file. Values keep their JSON
// type (true stays a boolean, 3 an integer, 3.0 a double); a value of any
// other JSON type reads as missing.
//
// Every read goes to the file, so changes by another process are seen at
// once. A missing, unreadable, non-object or corrupt file reads as empty
// (fileState() says which). The next write starts a new file, but first moves
// an unusable one aside as "<name>.unusable-XXXXXX": it may be a hand edit
// gone wrong, and is the user's to repair; when it cannot be moved, nothing
// is written. Writes are read-modify-write under an
// exclusive lock on the directory (so two processes do not lose each other's
// keys) and replace the file atomically: a reader sees the old or the new
// file, never a partial one, even across a crash. The file is private (0600)
// and a missing directory is created private (0700).
class JsonFileUserDefaults final : public UserDefaults {
 public:
  // $XDG_CONFIG_HOME/orvane/defaults.json, else ~/.config/orvane/defaults.json.
  static std::filesystem::path defaultPath();
  // The same rule on given variables (null or empty = unset). A relative
  // XDG_CONFIG_HOME is ignored, as the base-directory rules require.
  static std::filesystem::path defaultPath(const char* xdgConfigHome, const char* home);

  explicit JsonFileUserDefaults(std::filesystem::path file = defaultPath());

  const std::filesystem::path& path() const { return file_; }

  enum class FileState {
    missing,      // no file yet (an empty file counts as this)
    usable,       // a JSON object
    unreadable,   // could not be opened or read
    notAFile,     // a directory, pipe or device
    tooLarge,     // over kMaxFileBytes
    notJson,      // not UTF-8 JSON text, or truncated
    notAnObject,  // JSON of another type
  };
  // Far beyond any settings file; a bigger one is not read.
  static constexpr std::size_t kMaxFileBytes = 4 * 1024 * 1024;
  FileState fileState() const;

  std::optional<DefaultsValue> value(const std::string& key) const override;
  // A double that is not finite has no JSON form: setting one removes the key.
  // Text that is not valid UTF-8 is stored with U+FFFD replacements.
  void set(const std::string& key, DefaultsValue value) override;
  void remove(const std::string& key) override;

 private:
  // Sets (or, without a value, removes) one key. False when the file could not
  // be written; the store has no error channel, so callers just see the old value.
  bool update(const std::string& key, const std::optional<DefaultsValue>& value);

  std::filesystem::path file_;
  std::mutex writeMutex_;
};

}  // namespace orvane
