#pragma once

#include "SingleInstance.h"

// Through GApplication: the unique name com.vexmoor._3DViewer on the session bus, files
// handed over as "open", the window asked for through the "show-window" action. Its D-Bus
// calls arrive on GLib's main context, which Qt's event loop runs.
struct _GApplication;

class BusSingleInstance : public SingleInstance {
 public:
  ~BusSingleInstance() override;
  bool becomeRunningInstance(const std::vector<std::string>& paths, const std::string& windowMode,
                             Requests requests) override;

 private:
  _GApplication* application_ = nullptr;
  Requests requests_;
};
