// Fuzzes the loading of the alias section. The input is the text of a settings file whose
// first section is "MIDI.alias"; it is loaded into a fresh alias manager, saved, taken
// through the settings text once more and loaded into another fresh manager. Checked on
// every input:
// - loaded aliases have trimmed, non-empty names and trimmed device names;
// - the second manager holds the aliases the first one keeps (those with a direction that
//   are bound to a port or unbound on purpose, device aliases of closed ports aside), in
//   the same order, with the same names, devices and unbound-on-purpose marks;
// - saving the second manager writes the very section it was loaded from.
#include "core/inifile/TIniFile.h"
#include "midi/MidiAlias.h"
#include "midi/MidiManager.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <tuple>
#include <vector>

using namespace Lk;

namespace {

using Alias = std::tuple<std::string, int, std::string, bool>; // name, type, device, unbound

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "alias loading fault: %s\n", what);
    std::abort();
}

// Settings as the program would find them after writing them and starting again.
void parseText(const std::string& text, TIniFile& ini) {
    TStringList lines;
    lines.SetText(text.data(), static_cast<int>(text.size()));
    ini.ParseStrings(lines);
}

std::string aliasSectionText(const TIniFile& ini) {
    std::string text = std::string("[") + SECTION_ALIAS + "]\n";
    const TStringList& section = ini.GetSection(SECTION_ALIAS);
    for (int i = 0; i < section.GetCount(); ++i)
        text.append(section.GetLine(i).c_str()).append("\n");
    return text;
}

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

bool isTrimmed(const OxString& s) {
    const int n = s.length();
    return n == 0 || (!isBlank(s[0]) && !isBlank(s[n - 1]));
}

// The aliases a save keeps; no port is open here, so no device alias is among them.
std::vector<Alias> keptAliases(TMidiAliasManager& manager) {
    std::vector<Alias> kept;
    for (int i = 0; i < manager.GetCount(); ++i) {
        const TMidiAlias* a = manager.GetAlias(i);
        if (a->name.isEmpty() || !isTrimmed(a->name) || !isTrimmed(a->deviceName))
            fail("an alias name or device name is empty or untrimmed");
        const bool unbound = (a->flags & mafNonePersistent) != 0;
        if (a->type == atNone || (a->deviceName.isEmpty() && !unbound) ||
            a->name.equalsIgnoreCase(a->deviceName))
            continue;
        kept.emplace_back(a->name.c_str(), a->type, a->deviceName.c_str(), unbound);
    }
    return kept;
}

// An alias manager of its own for each load. It stands in for the shared one while it
// lives; the MIDI manager, costly to make, is made once and kept for the whole run.
class FreshAliasManager : public TMidiAliasManager {};

// Loads the settings into a fresh manager; returns what it keeps and the saved section.
std::vector<Alias> loadAndSave(TIniFile& ini, std::string& savedSection) {
    FreshAliasManager manager;
    manager.loadFromIniFile(ini);
    std::vector<Alias> kept = keptAliases(manager);
    TIniFile saved("unused.ini");
    manager.saveToIniFile(saved);
    savedSection = aliasSectionText(saved);
    return kept;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    MidiManager::instance();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    TIniFile ini("unused.ini");
    parseText(std::string("[") + SECTION_ALIAS + "]\n" +
                  std::string(reinterpret_cast<const char*>(data), size),
              ini);
    std::string savedOnce;
    const std::vector<Alias> first = loadAndSave(ini, savedOnce);

    TIniFile restarted("unused.ini");
    parseText(savedOnce, restarted);
    std::string savedTwice;
    const std::vector<Alias> second = loadAndSave(restarted, savedTwice);
    if (second != first)
        fail("the aliases loaded back differ from those saved");
    if (savedTwice != savedOnce)
        fail("saving the loaded aliases again changes the section");
    return 0;
}
