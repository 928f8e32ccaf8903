#include "src/ProgramNames.h"

namespace {
const char* const SECTION_PROGRAM_NAMES = "Program Names";
const char* const IDENT_PROGRAM = "Program";

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}
} // namespace

ProgramNameTable::ProgramNameTable() : names(std::make_shared<const ProgramNames>()) {}

std::shared_ptr<const ProgramNames> ProgramNameTable::get() const {
    std::lock_guard<std::mutex> hold(mutex);
    return names;
}

void ProgramNameTable::set(const ProgramNames& newNames) {
    auto fresh = std::make_shared<const ProgramNames>(newNames);
    std::lock_guard<std::mutex> hold(mutex);
    names = std::move(fresh);
}

Lk::OxString ProgramNameTable::keyFor(int program) {
    return Lk::OxString(IDENT_PROGRAM) + Lk::OxString::fromInt(program);
}

void ProgramNameTable::load(const Lk::TIniFile& ini) {
    ProgramNames read;
    for (int i = 0; i < kProgramCount; ++i)
        read[i] = ini.ReadString(SECTION_PROGRAM_NAMES, keyFor(i), Lk::OxString());
    loadedNames = read;
    set(read);
}

void ProgramNameTable::save(Lk::TIniFile& ini, bool loaded) const {
    const auto current = get();
    for (int i = 0; i < kProgramCount; ++i) {
        const Lk::OxString& name = (*current)[i];
        if (name.isNotEmpty())
            ini.WriteString(SECTION_PROGRAM_NAMES, keyFor(i), encodeValue(name));
        else if (loaded && loadedNames[i].isNotEmpty())
            ini.DeleteKey(SECTION_PROGRAM_NAMES, keyFor(i));
    }
}

Lk::OxString ProgramNameTable::encodeValue(const Lk::OxString& name) {
    const int n = name.length();
    const bool needsQuotes =
        n > 0 && (isBlank(name[0]) || isBlank(name[n - 1]) || name.indexOf('"') >= 0);
    if (!needsQuotes)
        return name;
    Lk::OxString quoted("\"");
    for (int i = 0; i < n; ++i) {
        if (name[i] == '"' || name[i] == '\\')
            quoted += '\\';
        quoted += name[i];
    }
    return quoted + "\"";
}
