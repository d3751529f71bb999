#pragma once

#include "Associations.h"
#include "Desktop.h"

// The file types window as the application shows it: with its menu, on the desktop's
// registry, opening pages in the default browser. Returns once the window is closed.
void runManageWindow(bool setupMode, DefaultsStore& defaults, Alerts& alerts);
// Brings the window that is shown to the front.
void raiseManageWindow();
