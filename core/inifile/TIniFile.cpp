#include "core/inifile/TIniFile.h"

#include "platform/OxUtils.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <filesystem>

namespace Lk {

namespace {

bool isSectionHeader(const OxString& line) {
    const int len = line.length();
    return len >= 4 && line[0] == '[' && line[len - 1] == ']';
}

OxString firstNonBlankLine(const TStringList& lines) {
    for (int i = 0; i < lines.GetCount(); ++i) {
        const OxString trimmed = lines.GetLine(i).trim();
        if (trimmed.isNotEmpty())
            return trimmed;
    }
    return OxString::empty;
}

} // namespace

bool TIniFile::ReadFromFileNoException() {
    xmlFlag = 0;
    jsonFlag = 0;
    unreadable = OxString();
    TStringList lines;
    errno = 0;
    if (!lines.LoadFromFile(fileName)) {
        const int cause = errno;
        sections.clear();
        // A status that cannot be learned counts as a file that is there.
        std::error_code error;
        const std::filesystem::path path(fileName.c_str());
        if (std::filesystem::exists(path, error) || error)
            unreadable = std::filesystem::is_directory(path, error)
                             ? "it is a folder"
                             : std::strerror(cause ? cause : EIO);
        return false;
    }
    xmlFlag = detectXML(lines);
    jsonFlag = !xmlFlag && detectJSON(lines);
    if (xmlFlag || jsonFlag) {
        sections.clear();
        return false;
    }
    ParseStrings(lines);
    return true;
}

void TIniFile::ParseStrings(const TStringList& lines) {
    sections.clear();
    OxString current;
    for (int i = 0; i < lines.GetCount(); ++i) {
        const OxString line = lines.GetLine(i);
        if (isSectionHeader(line))
            current = line.substr(1, line.length() - 2);
        else if (current.isNotEmpty())
            sections[current].Add(line);
    }
}

std::string TIniFile::formatText() const {
    std::string text;
    for (const auto& [name, section] : sections) {
        text.append("[").append(name.c_str()).append("]\n");
        for (int i = 0; i < section.GetCount(); ++i) {
            const OxString line = section.GetLine(i);
            if (line.isNotEmpty())
                text.append(line.c_str()).append("\n");
        }
        text.append("\n");
    }
    return text;
}

bool TIniFile::WriteToFile() const {
    const std::string text = formatText();
    if (fileName.isEmpty() || unreadable.isNotEmpty() || text.size() > static_cast<size_t>(INT_MAX))
        return false;
    const OxString dir = fileName.extractFileDir();
    // A folder that cannot be made shows up as a failed write.
    if (dir.isNotEmpty())
        ForceDirectories(dir);
    return writeFileReplacing(fileName, text.data(), static_cast<int>(text.size()));
}

const TStringList& TIniFile::GetSection(const OxString& name, bool* found) const {
    static const TStringList empty;
    const auto section = sections.find(name);
    const bool exists = section != sections.end();
    if (found != nullptr)
        *found = exists;
    return exists ? section->second : empty;
}

bool TIniFile::ValueExists(const OxString& section, const OxString& key) const {
    return GetSection(section).KeyExists(key);
}

OxString TIniFile::ReadString(const OxString& section, const OxString& key,
                              const OxString& def) const {
    const TStringList& lines = GetSection(section);
    return lines.KeyExists(key) ? lines.GetValue(key) : def;
}

int TIniFile::ReadInteger(const OxString& section, const OxString& key, int def) const {
    return ReadString(section, key, OxString::empty).parseIntDef(def);
}

int TIniFile::ReadInteger(const OxString& section, const OxString& key, int def, int min,
                          int max) const {
    int value = def;
    return ReadString(section, key, OxString::empty).parseIntInRange(value, min, max) ? value : def;
}

void TIniFile::WriteString(const OxString& section, const OxString& key, const OxString& value) {
    sections[section].SetValue(key, value);
}

void TIniFile::WriteInteger(const OxString& section, const OxString& key, int value) {
    WriteString(section, key, OxString::fromInt(value));
}

bool TIniFile::DeleteKey(const OxString& section, const OxString& key) {
    const auto found = sections.find(section);
    return found != sections.end() && found->second.DeleteKey(key);
}

bool TIniFile::detectXML(const TStringList& lines) {
    return firstNonBlankLine(lines).startsWith("<?xml", 1);
}

bool TIniFile::detectJSON(const TStringList& lines) {
    return firstNonBlankLine(lines).startsWith("{");
}

} // namespace Lk
