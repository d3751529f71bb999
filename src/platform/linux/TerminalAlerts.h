#pragma once

#include <ostream>
#include <string>

#include "Desktop.h"
#include "Text.h"

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
         << printableLines(informative) << '\n';
  }

 private:
  // A file name may hold control characters, which would act on the terminal.
  static std::string printableLines(const std::string& text) {
    std::string result;
    size_t from = 0;
    for (size_t end; (end = text.find('\n', from)) != std::string::npos; from = end + 1) {
      result += Text::printable(text.substr(from, end - from)) + '\n';
    }
    return result + Text::printable(text.substr(from));
  }

  std::ostream& out_;
};
