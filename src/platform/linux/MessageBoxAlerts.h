#pragma once

#include "Desktop.h"

// Alerts as Qt message boxes; needs a QApplication.
class MessageBoxAlerts : public Alerts {
 public:
  void show(AlertStyle style, const std::string& message, const std::string& informative) override;
};
