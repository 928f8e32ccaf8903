#include "src/Autostart.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace fs = std::filesystem;

namespace {

// Exec names the installed program, as the menu entry does: the session finds it on PATH.
const char* const ENTRY_TEXT = "[Desktop Entry]\n"
                               "Type=Application\n"
                               "Name=DOKA Display\n"
                               "Comment=Show the DOKA display module's two lines and program "
                               "names, and pass MIDI on\n"
                               "Exec=DOKA\n"
                               "Icon=doka-display\n"
                               "Terminal=false\n";

fs::path configFolder() {
    const char* config = std::getenv("XDG_CONFIG_HOME");
    if (config != nullptr && config[0] == '/')
        return config;
    const char* home = std::getenv("HOME");
    return fs::path(home != nullptr ? home : "") / ".config";
}

} // namespace

namespace Autostart {

std::string entryPath() {
    return (configFolder() / "autostart" / ENTRY_NAME).string();
}

bool isOn() {
    std::error_code ignored;
    return fs::exists(entryPath(), ignored);
}

std::string set(bool on) {
    const fs::path entry = entryPath();
    std::error_code error;
    if (!on) {
        fs::remove(entry, error);
        return error ? "Cannot remove " + entry.string() + ": " + error.message() : "";
    }
    fs::create_directories(entry.parent_path(), error);
    std::ofstream out(entry, std::ios::trunc);
    if (error || !(out << ENTRY_TEXT) || !out.flush())
        return "Cannot write " + entry.string() +
               (error ? ": " + error.message() : ": the file cannot be written");
    return "";
}

} // namespace Autostart
