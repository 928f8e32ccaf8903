#pragma once

#include "platform/OxString.h"

// Services of the system beneath the application (no toolkit involved).
namespace Lk {

// $HOME, else the password entry's home folder, else the working folder: never relative,
// so that a settings file below it can always be written.
OxString getHomeDirectory();
// The hidden folder of the maker's settings in the home folder; not created here.
OxString getOrvoSettingsBaseDir();
// The settings file: beside the executable when such a file exists there, else in the
// settings folder. `executable` is the program's full path.
OxString getSettingsFilePath(const OxString& executable);

} // namespace Lk
