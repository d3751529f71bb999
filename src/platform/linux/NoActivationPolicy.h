#pragma once

#include "Desktop.h"

// Linux desktops have no Dock icon or menu bar to show or hide.
class NoActivationPolicy : public ActivationPolicy {
 public:
  void setRegular() override {}
  void setAccessory() override {}
};
