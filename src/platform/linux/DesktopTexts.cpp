#include "DesktopTexts.h"

namespace DesktopTexts {

const std::string_view reachViewerAnyway = "you can still reach the viewer through your file manager's Open With menu.";
const std::string_view keptCurrentApplication = "Your desktop kept the current application for: ";
const std::string_view settingsNotSaved =
    "Your settings could not be saved in ~/.config/Vexmoor, so the current application was kept for: ";
const std::string_view settingsNotWritten =
    "the settings in ~/.config/Vexmoor could not be written, so the application that opens this type now could not "
    "be remembered; nothing was changed";
const std::string_view openAnyway = ". You can still open these in the viewer with your file manager's Open With menu.";

}  // namespace DesktopTexts
