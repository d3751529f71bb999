#pragma once

#include <ostream>

#include "Desktop.h"

// Alerts for a session without a display (over SSH, say): written to standard error.
class TerminalAlerts : public Alerts {
 public:
  explicit TerminalAlerts(std::ostream& out) : out_(out) {}
  void show(AlertStyle style, const std::string& message, const std::string& informative) override {
    out_ << "vexmoor-3dviewer: "
         << (style == AlertStyle::critical  ? "error: "
             : style == AlertStyle::warning ? "warning: "
                                            : "")
         << message << '\n'
         << informative << '\n';
  }

 private:
  std::ostream& out_;
};
