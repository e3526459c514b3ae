#include "OrvaneCore/signaling/cloudkit/CloudKitTypes.h"

#include <array>
#include <cctype>
#include <cstdio>
#include <random>
#include <sstream>

namespace orvane {

std::string_view toString(CKValueType type) {
  switch (type) {
    case CKValueType::string: return "string";
    case CKValueType::int32: return "int32";
    case CKValueType::int64: return "int64";
    case CKValueType::date: return "date";
    case CKValueType::bytes: return "bytes";
  }
  return "?";
}

std::optional<CKValueType> ckValueTypeFromString(std::string_view text) {
  for (auto type : {CKValueType::string, CKValueType::int32, CKValueType::int64, CKValueType::date, CKValueType::bytes}) {
    if (toString(type) == text) return type;
  }
  return std::nullopt;
}

CKRecord CKRecord::stored(std::string recordType, CKRecordID recordID, std::map<std::string, CKValue> fields,
                          std::string changeTag) {
  CKRecord record(std::move(recordType), std::move(recordID));
  record.fields_ = std::move(fields);
  record.changeTag_ = std::move(changeTag);
  return record;
}

void CKRecord::set(const std::string& key, std::optional<CKValue> value) {
  if (value) {
    fields_.insert_or_assign(key, std::move(*value));
  } else {
    fields_.erase(key);
  }
  changedKeys_.insert(key);
}

const CKValue* CKRecord::value(const std::string& key) const {
  auto it = fields_.find(key);
  return it == fields_.end() ? nullptr : &it->second;
}

namespace {
template <typename T>
std::optional<T> typed(const CKValue* value) {
  if (const T* v = value ? std::get_if<T>(value) : nullptr) return *v;
  return std::nullopt;
}
}  // namespace

std::optional<std::string> CKRecord::string(const std::string& key) const { return typed<std::string>(value(key)); }
std::optional<std::int32_t> CKRecord::int32(const std::string& key) const { return typed<std::int32_t>(value(key)); }
std::optional<std::int64_t> CKRecord::int64(const std::string& key) const { return typed<std::int64_t>(value(key)); }
std::optional<WallTime> CKRecord::date(const std::string& key) const { return typed<WallTime>(value(key)); }

std::string_view toString(CKErrorCode code) {
  switch (code) {
    case CKErrorCode::internalError: return "Internal Error";
    case CKErrorCode::serviceUnavailable: return "Service Unavailable";
    case CKErrorCode::unknownItem: return "Unknown Item";
    case CKErrorCode::invalidArguments: return "Invalid Arguments";
    case CKErrorCode::serverRecordChanged: return "Server Record Changed";
    case CKErrorCode::serverRejectedRequest: return "Server Rejected Request";
    case CKErrorCode::badDatabase: return "Bad Database";
    case CKErrorCode::zoneNotFound: return "Zone Not Found";
    case CKErrorCode::limitExceeded: return "Limit Exceeded";
  }
  return "Unknown Error";
}

CloudKitError::CloudKitError(CKErrorCode code, const std::string& message)
    : std::runtime_error(std::string(toString(code)) + " (" + std::to_string(static_cast<int>(code)) + "): " + message),
      code_(code) {}

namespace {

bool isKey(std::string_view word) {
  if (word.empty() || !(std::isalpha(static_cast<unsigned char>(word[0])) || word[0] == '_')) return false;
  for (char c : word) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_') return false;
  }
  return true;
}

[[noreturn]] void badFormat(std::string_view format, std::string_view why) {
  throw CloudKitError(CKErrorCode::invalidArguments, "unsupported predicate '" + std::string(format) + "': " + std::string(why));
}

}  // namespace

CKPredicate CKPredicate::format(std::string_view format, std::vector<CKValue> arguments) {
  std::vector<std::string> words;
  std::istringstream in{std::string(format)};
  for (std::string word; in >> word;) words.push_back(word);

  CKPredicate predicate;
  if (words.size() == 1 && words[0] == "TRUEPREDICATE") {
    if (!arguments.empty()) badFormat(format, "takes no arguments");
    return predicate;
  }
  std::size_t next = 0;
  for (std::size_t i = 0;; i += 4) {
    if (i + 3 > words.size()) badFormat(format, "expected 'key == %@'");
    if (!isKey(words[i])) badFormat(format, "bad key '" + words[i] + "'");
    Op op;
    if (words[i + 1] == "==" || words[i + 1] == "=") {
      op = Op::equal;
    } else if (words[i + 1] == "!=" || words[i + 1] == "<>") {
      op = Op::notEqual;
    } else {
      badFormat(format, "bad operator '" + words[i + 1] + "'");
    }
    if (words[i + 2] != "%@") badFormat(format, "expected %@");
    if (next >= arguments.size()) badFormat(format, "too few arguments");
    predicate.comparisons_.push_back(Comparison{words[i], op, std::move(arguments[next++])});
    if (i + 3 == words.size()) break;
    if (words[i + 3] != "AND" && words[i + 3] != "and" && words[i + 3] != "&&") badFormat(format, "expected AND");
  }
  if (next != arguments.size()) badFormat(format, "too many arguments");
  return predicate;
}

bool CKPredicate::matches(const CKRecord& record) const {
  for (const auto& comparison : comparisons_) {
    const CKValue* stored = record.value(comparison.key);
    const bool equal = stored && *stored == comparison.value;
    if (equal != (comparison.op == Op::equal)) return false;
  }
  return true;
}

std::string makeUUIDString() {
  thread_local std::mt19937_64 engine{[] {
    std::random_device device;
    std::seed_seq seed{device(), device(), device(), device(), device(), device(), device(), device()};
    return std::mt19937_64(seed);
  }()};
  std::array<std::uint8_t, 16> bytes;
  for (std::size_t i = 0; i < bytes.size(); i += 8) {
    const std::uint64_t word = engine();
    for (std::size_t j = 0; j < 8; ++j) bytes[i + j] = static_cast<std::uint8_t>(word >> (8 * j));
  }
  bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40);  // version 4
  bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
  char text[37];
  std::snprintf(text, sizeof text, "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", bytes[0],
                bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7], bytes[8], bytes[9], bytes[10],
                bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
  return text;
}

}  // namespace orvane
