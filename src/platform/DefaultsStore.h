#pragma once

#include <functional>
#include <optional>
#include <string>

// The per-user key-value store of the application's settings. Safe from any thread.
class DefaultsStore {
 public:
  virtual ~DefaultsStore() = default;
  virtual std::optional<std::string> string(const std::string& key) const = 0;
  // True once the value is stored; false when the settings could not be written.
  virtual bool setString(const std::string& key, const std::string& value) = 0;
  virtual void remove(const std::string& key) = 0;
  // Stores what `change` makes of the setting's value, with no other process of ours
  // changing the setting in between: a read-modify-write that parallel runs cannot undo.
  // False when the settings could not be written.
  virtual bool update(const std::string& key,
                      const std::function<std::string(const std::optional<std::string>&)>& change) = 0;
  // Forgets every setting of the application.
  virtual void removeAll() = 0;
};
