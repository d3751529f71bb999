#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <string>

// The per-user key-value store of the application's settings. Safe from any thread.
class DefaultsStore {
 public:
  virtual ~DefaultsStore() = default;
  virtual std::optional<std::string> string(const std::string& key) const = 0;
  virtual void setString(const std::string& key, const std::string& value) = 0;
  virtual void remove(const std::string& key) = 0;
  // Forgets every setting of the application.
  virtual void removeAll() = 0;
};

// A store that lives only as long as the object: for tests and for code that must not
// persist anything.
class MemoryDefaultsStore : public DefaultsStore {
 public:
  std::optional<std::string> string(const std::string& key) const override {
    std::lock_guard guard(mutex_);
    auto found = values_.find(key);
    if (found == values_.end()) return std::nullopt;
    return found->second;
  }
  void setString(const std::string& key, const std::string& value) override {
    std::lock_guard guard(mutex_);
    values_[key] = value;
  }
  void remove(const std::string& key) override {
    std::lock_guard guard(mutex_);
    values_.erase(key);
  }
  void removeAll() override {
    std::lock_guard guard(mutex_);
    values_.clear();
  }

 private:
  mutable std::mutex mutex_;
  std::map<std::string, std::string> values_;
};
