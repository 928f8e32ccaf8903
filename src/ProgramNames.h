#pragma once

#include "core/inifile/TIniFile.h"
#include "src/DisplayProtocol.h"

#include <memory>
#include <mutex>

// The 128 program names, read by the receive thread for every Program Change and replaced
// by the Program Names dialog: the table is swapped as a whole, so a reader always sees
// one complete version.
class ProgramNameTable {
public:
    ProgramNameTable();

    std::shared_ptr<const ProgramNames> get() const;
    void set(const ProgramNames& names);

    // Reads section "Program Names"; remembers which names the file held.
    void load(const Lk::TIniFile& ini);
    // Writes the non-empty names. A name that was loaded and is now empty loses its key,
    // unless `loaded` is false (the file could not be read, so nothing of it is known).
    void save(Lk::TIniFile& ini, bool loaded) const;

    static Lk::OxString keyFor(int program);
    // Names with blanks at either end or with a double quote are written quoted, in the
    // form the settings reader decodes; others are written as they are.
    static Lk::OxString encodeValue(const Lk::OxString& name);

private:
    mutable std::mutex mutex;
    std::shared_ptr<const ProgramNames> names; // guarded by mutex
    ProgramNames loadedNames;                  // message thread only
};
