#pragma once

#include "core/inifile/TStringList.h"
#include "platform/OxString.h"

#include <map>
#include <string>

namespace Lk {

// An INI settings file held in memory: sections of lines, read and written whole. Lines
// the caller never touches, comments included, are written back as they were read.
class TIniFile {
public:
    explicit TIniFile(const OxString& fileName) : fileName(fileName) {}
    virtual ~TIniFile() = default;

    // Replaces the sections by the file's content. False, with no sections, when the file
    // cannot be read or holds XML or JSON (see isXML/isJSON).
    bool ReadFromFileNoException();
    // Why the last ReadFromFileNoException could not read a file that is there (permissions,
    // a folder, an I/O error); empty when it read the file or found none. WriteToFile never
    // writes over such a file: what it held would be lost.
    const OxString& unreadableReason() const { return unreadable; }
    // Replaces the sections by those found in the lines; lines before the first header
    // belong to no section and are dropped.
    void ParseStrings(const TStringList& lines);
    // Replaces the file in one step, so a failure leaves the old file as it was; creates
    // the folder first. False on any failure, and after a read that found it unreadable.
    bool WriteToFile() const;

    // An empty list stands in for a section that does not exist.
    const TStringList& GetSection(const OxString& name, bool* found = nullptr) const;
    bool ValueExists(const OxString& section, const OxString& key) const;
    OxString ReadString(const OxString& section, const OxString& key, const OxString& def) const;
    // def for an absent key, an empty value or one that does not start with a number.
    int ReadInteger(const OxString& section, const OxString& key, int def) const;
    // The same, and def also for a number outside min..max, however many digits it has.
    int ReadInteger(const OxString& section, const OxString& key, int def, int min, int max) const;
    void WriteString(const OxString& section, const OxString& key, const OxString& value);
    void WriteInteger(const OxString& section, const OxString& key, int value);
    bool DeleteKey(const OxString& section, const OxString& key);

    const OxString& GetFileName() const { return fileName; }
    // Set by the last ReadFromFileNoException that refused the file.
    int isXML() const { return xmlFlag; }
    int isJSON() const { return jsonFlag; }

    static bool detectXML(const TStringList& lines);
    static bool detectJSON(const TStringList& lines);

private:
    std::string formatText() const;

    OxString fileName;
    std::map<OxString, TStringList> sections;
    OxString unreadable;
    int xmlFlag = 0;
    int jsonFlag = 0;
};

} // namespace Lk
