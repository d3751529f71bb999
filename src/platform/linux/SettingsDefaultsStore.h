#pragma once

#include <filesystem>

#include "DefaultsStore.h"

// The application's settings file, $XDG_CONFIG_HOME/Vexmoor/3DViewer.conf, through QSettings.
// Each call uses its own QSettings object, which is what makes it safe across threads.
class SettingsDefaultsStore : public DefaultsStore {
 public:
  std::optional<std::string> string(const std::string& key) const override;
  bool setString(const std::string& key, const std::string& value) override;
  void remove(const std::string& key) override;
  bool update(const std::string& key,
              const std::function<std::string(const std::optional<std::string>&)>& change) override;
  void removeAll() override;

  // The lock of every read-modify-write of the settings and of what goes with them.
  static std::filesystem::path lockFile();
};
