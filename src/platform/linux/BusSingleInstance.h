#pragma once

#include "SingleInstance.h"

// Through GApplication: the unique name com.vexmoor._3DViewer on the session bus, files
// handed over as "open", the window asked for through the "show-window" action. Its D-Bus
// calls arrive on GLib's main context, which Qt's event loop runs.
struct _GApplication;
struct _GDBusConnection;

class BusSingleInstance : public SingleInstance {
 public:
  ~BusSingleInstance() override;
  bool becomeRunningInstance(const std::vector<std::string>& paths, const std::string& windowMode, Requests requests,
                             bool registerLater) override;
  void registerNow() override;

 private:
  // False when another process holds the name: `paths` and `windowMode` were handed to it.
  bool registerName(const std::vector<std::string>& paths, const std::string& windowMode);

  _GApplication* application_ = nullptr;
  // Held from the question to the running instance until the registration, which shares it.
  _GDBusConnection* connection_ = nullptr;
  Requests requests_;
};
