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

// Opens the file with the desktop's default handler (xdg-open), started with an argument
// vector so that no character of the path is ever read by a shell. True when the handler
// exits with status 0. xdg-open takes the file alone: `arguments` and `newInstance` have
// no counterpart there and are not passed on.
bool ExecuteFile(const OxString& path, const OxString& arguments, bool newInstance);
// Opens the URL with the same handler and returns at once: a handler may run as long as
// the browser it started, so it is waited for (and reaped) on a thread of its own. False
// when it could not be started.
bool OpenURL(const OxString& url);
// The program that ExecuteFile and OpenURL start; tests point it at a recorder.
void setOpenCommand(const OxString& program);

// Nothing to install on this platform: always empty.
OxString checkApplicationInstallation();

} // namespace Lk
