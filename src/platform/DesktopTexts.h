#pragma once

#include <string_view>

// The words for the desktop's own parts in what the user reads. Each platform has its own,
// kept together here so that a port changes them all in one place.
namespace DesktopTexts {

// Ends the file types window's explanation, after "...are left alone; ".
extern const std::string_view reachViewerAnyway;
// Begins the alert that lists the types a claim could not change.
extern const std::string_view keptCurrentApplication;
// Begins that alert instead when the application's own settings could not be written.
extern const std::string_view settingsNotSaved;
// Why a claim was refused when the application's own settings could not be written.
extern const std::string_view settingsNotWritten;
// Ends that alert, after the list of types.
extern const std::string_view openAnyway;

}  // namespace DesktopTexts
