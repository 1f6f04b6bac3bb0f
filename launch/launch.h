// Finding Microsoft Edge and starting it in app mode on the game's front end.
#pragma once

#include "common/wide_buffer.h"

extern WideBuffer browser_path;  // msedge.exe once found

// Fills browser_path from the App Paths entries, then the default install
// folders; false when no existing msedge.exe was found.
[[nodiscard]] bool find_browser();
// Creates data_dir and data_dir\BrowserProfile, extending data_dir in place.
[[nodiscard]] bool prepare_profile();
// The whole client: true exactly when the browser process was created;
// every other outcome has shown one message box.
[[nodiscard]] bool launch_client();
