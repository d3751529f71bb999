#pragma once

#include <string>

// Making the running executable known to the desktop as the application that opens the
// declared types, so that it can be made their default.
namespace DesktopRegistration {

// The absolute path of the running executable.
std::string executablePath();

// The declared document types shipped with the executable: beside it in a build folder,
// in ../share/vexmoor-3dviewer/ once installed.
std::string declarationPath();

// The folder of the built-in viewer: beside the executable in a build folder, in
// ../share/vexmoor-3dviewer/viewer once installed. It may not exist.
std::string viewerFolderPath();

// An executable that was installed is registered already. One run from anywhere else (a
// build folder) writes its desktop entry and MIME types under $XDG_DATA_HOME and updates
// the desktop's databases there, waiting for them, under the settings' lock: a parallel run
// waits and finds it done. Must run before anything in the process asks GIO about
// applications or types, since GLib reads them only once. False when the files could not be
// written, or no desktop entry can start the executable from where it is (said on stderr).
bool ensureRegistered();

}  // namespace DesktopRegistration
