#pragma once

#include <ostream>
#include <string>

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
         << printable(informative) << '\n';
  }

 private:
  // A file name may hold control characters, which would act on the terminal.
  static std::string printable(std::string text) {
    for (char& c : text) {
      if ((static_cast<unsigned char>(c) < 0x20 && c != '\n') || c == 0x7f) c = '?';
    }
    return text;
  }

  std::ostream& out_;
};
