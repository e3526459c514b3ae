#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <variant>

namespace orvane {

// A stored setting value, typed as the platform's defaults store keeps it.
using DefaultsValue = std::variant<bool, std::int64_t, double, std::string>;

// The persisted key/value settings store (user defaults). Reads of a missing
// key give nothing; readers apply their own fallbacks.
class UserDefaults {
 public:
  virtual ~UserDefaults() = default;
  virtual std::optional<DefaultsValue> value(const std::string& key) const = 0;
  virtual void set(const std::string& key, DefaultsValue value) = 0;
  virtual void remove(const std::string& key) = 0;

  std::optional<std::string> string(const std::string& key) const {
    auto v = value(key);
    if (v && std::holds_alternative<std::string>(*v)) return std::get<std::string>(*v);
    return std::nullopt;
  }
  std::optional<bool> boolean(const std::string& key) const {
    auto v = value(key);
    if (v && std::holds_alternative<bool>(*v)) return std::get<bool>(*v);
    return std::nullopt;
  }
};

// The tests' store.
class InMemoryUserDefaults final : public UserDefaults {
 public:
  std::optional<DefaultsValue> value(const std::string& key) const override {
    std::lock_guard lock(mutex_);
    auto it = values_.find(key);
    if (it == values_.end()) return std::nullopt;
    return it->second;
  }
  void set(const std::string& key, DefaultsValue value) override {
    std::lock_guard lock(mutex_);
    values_[key] = std::move(value);
  }
  void remove(const std::string& key) override {
    std::lock_guard lock(mutex_);
    values_.erase(key);
  }

 private:
  mutable std::mutex mutex_;
  std::map<std::string, DefaultsValue> values_;
};

}  // namespace orvane
