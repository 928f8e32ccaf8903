#include "midi/MidiInput.h"
#include "midi/MidiManagerDev.h"

// The entries' "MIDI.in" / "MIDI.out" settings: the port name and a string of "T"/"F"
// flags with the backend's type code in hexadecimal.

namespace Lk {

namespace {

// Four-character type codes read as little-endian numbers.
constexpr unsigned TYPE_MIDI = 0x4944494D;
constexpr unsigned TYPE_XMID = 0x44494D58;
constexpr unsigned TYPE_INTM = 0x4D746E49;

OxString flag(bool on) {
    return on ? "T" : "F";
}
bool flagAt(const OxString& options, int i) {
    return options[i] == 'T';
}

OxString nameKey(int n) {
    return OxString(IDENT_NAME) + OxString::fromInt(n);
}
OxString optionsKey(int n) {
    return OxString(IDENT_OPTIONS) + OxString::fromInt(n);
}

// Reads the type flags and code starting at `at`; "MIDI" when they are missing.
unsigned readType(const OxString& options, int at) {
    unsigned type = TYPE_MIDI;
    if (options.length() >= at + 1)
        type = flagAt(options, at) ? TYPE_XMID : TYPE_MIDI;
    if (options.length() >= at + 2 && flagAt(options, at + 1))
        type = TYPE_INTM;
    unsigned parsed = 0;
    if (options.length() >= at + 10 && options.parseHex(parsed, at + 2, 8))
        type = parsed;
    return type;
}

OxString typeText(unsigned type) {
    return flag(type == TYPE_XMID) + flag(type == TYPE_INTM) + OxString::toHex(type, 8);
}

const char* sectionOf(int isInput) {
    return isInput ? SECTION_MIDI_IN : SECTION_MIDI_OUT;
}

} // namespace

// After the direction's own options: the type (two flags and eight hexadecimal digits) and
// whether the port is to be opened.
void MidiManagerDev::loadFromIniFile(TIniFile& ini, int n) {
    const OxString name = ini.ReadString(sectionOf(IsInput()), nameKey(n), OxString());
    const OxString options = ini.ReadString(sectionOf(IsInput()), optionsKey(n), OxString());
    const int at = loadPortOptions(options);
    const unsigned type = readType(options, at);
    if (options.length() < at + 11 || flagAt(options, at + 10))
        pending = 1;
    SetDescriptor(type, IsInput(), name);
}

void MidiManagerDev::saveToIniFile(TIniFile& ini, int n) const {
    ini.WriteString(sectionOf(IsInput()), nameKey(n), GetDescriptor()->GetName());
    ini.WriteString(sectionOf(IsInput()), optionsKey(n),
                    portOptionsText() + typeText(GetDescriptor()->GetType()) +
                        flag(pending || IsOpen()));
}

int MMDevIn::loadPortOptions(const OxString& options) {
    auto* port = static_cast<TMidiInputBase*>(GetDevice());
    if (options.length() >= 1) {
        activeSensing = flagAt(options, 0);
        if (port != nullptr)
            port->SetActiveSensing(activeSensing);
    }
    if (options.length() >= 2) {
        timingClock = flagAt(options, 1);
        if (port != nullptr)
            port->SetTimingClock(timingClock);
    }
    return 2;
}

OxString MMDevIn::portOptionsText() const {
    return flag(activeSensing != 0) + flag(timingClock != 0);
}

} // namespace Lk
