#pragma once

namespace DisplayProbe {

// Whether a graphical session can be reached: the X server that DISPLAY names accepts us,
// or the Wayland socket that WAYLAND_DISPLAY names accepts a connection. A DISPLAY left
// over from a closed SSH session counts as none (Qt would abort the process on it).
bool reachable();

}  // namespace DisplayProbe
