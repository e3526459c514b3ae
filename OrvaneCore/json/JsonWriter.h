#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace orvane {

// Streams compact JSON straight into a string, members in the order written.
// Strings come out as the peers' Foundation encoder writes them by default:
// '"', '\\' and '/' escaped, control characters as short escapes or \u00xx,
// all other text as raw UTF-8 (ill-formed UTF-8 repaired as U+FFFD). Doubles use the shortest text that reads back
// to the same value. A non-finite double has no JSON form: offering one
// poisons the writer and finish() then yields nothing.
//
// The caller provides a well-formed sequence (a key before each member
// value); the writer only places commas and colons.
class JsonWriter {
 public:
  explicit JsonWriter(std::size_t reserve = 128) { out_.reserve(reserve); }

  void beginObject() { open('{'); }
  void endObject() { close('}'); }
  void beginArray() { open('['); }
  void endArray() { close(']'); }
  void key(std::string_view name);

  void string(std::string_view text);
  void boolean(bool value);
  void integer(std::int64_t value);
  void number(double value);
  void null();

  bool ok() const { return ok_; }
  std::optional<std::string> finish() &&;

 private:
  void separate() {
    if (needComma_) out_.push_back(',');
  }
  void open(char bracket) {
    separate();
    out_.push_back(bracket);
    needComma_ = false;
  }
  void close(char bracket) {
    out_.push_back(bracket);
    needComma_ = true;
  }
  void appendEscaped(std::string_view text);

  std::string out_;
  bool needComma_ = false;
  bool ok_ = true;
};

}  // namespace orvane
