#pragma once

#include <string>

// Starting the installed program with the desktop session: an XDG autostart entry,
// $XDG_CONFIG_HOME/autostart/doka-display.desktop (~/.config when that is unset or not an
// absolute path). Whether the entry exists is the setting; nothing else keeps it.
namespace Autostart {

constexpr const char* ENTRY_NAME = "doka-display.desktop";

std::string entryPath();
bool isOn();
// Writes or removes the entry, making the folder it needs; empty when done, else why not.
std::string set(bool on);

} // namespace Autostart
