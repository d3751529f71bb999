#pragma once

#include <map>
#include <mutex>

#include "DefaultsStore.h"

// Settings that live only as long as the object.
class MemoryDefaultsStore : public DefaultsStore {
 public:
  std::optional<std::string> string(const std::string& key) const override {
    std::lock_guard guard(mutex_);
    auto found = values_.find(key);
    return found == values_.end() ? std::nullopt : std::optional(found->second);
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
