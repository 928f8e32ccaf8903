#include "midi/MidiAliasRecord.h"

#include "midi/MidiPortNames.h"

namespace Lk {

namespace {

// The settings file holds one value per line and reads a value that starts with a double
// quote as quoted text. Such values, and any with a line break that would end the entry
// early, are written in that quoted form so that they load back unchanged.
OxString storableValue(const OxString& text) {
    if (!text.startsWith("\"") && text.indexOf('\n') < 0 && text.indexOf('\r') < 0)
        return text;
    OxString quoted = OxString::withCapacity(2 * text.length() + 2);
    quoted += '"';
    for (const char* p = text.c_str(); *p != 0; ++p) {
        if (*p == '\n')
            quoted += "\\n";
        else if (*p == '\r')
            quoted += "\\r";
        else if (*p == '"' || *p == '\\')
            quoted.append('\\').append(*p);
        else
            quoted += *p;
    }
    quoted += '"';
    return quoted;
}

} // namespace

TMidiAlias::TMidiAlias(const OxString& name, const OxString& device, TAliasType type)
    : type(type), name(name.trim()), deviceName(device.trim()) {}

TMidiAlias::TMidiAlias(const OxString& name, TIniFile& ini, int index)
    : type(atNone), name(name.trim()) {
    loadFromIniFile(ini, index);
}

OxString TMidiAlias::nameKey(int index) {
    return IDENT_NAME + OxString::fromInt(index);
}

OxString TMidiAlias::deviceKey(int index) {
    return IDENT_DEVICE + OxString::fromInt(index);
}

bool TMidiAlias::SameAs(const OxString& otherName, TAliasType otherType) const {
    return type == otherType && name.equalsIgnoreCase(otherName);
}

bool TMidiAlias::isInOutPairWith(const TMidiAlias* other) const {
    if (other == nullptr || type == atNone || other->type == atNone || type == other->type)
        return false;
    return getNormalizedMIDIPortName(name, type == atIn)
        .equalsIgnoreCase(getNormalizedMIDIPortName(other->name, other->type == atIn));
}

void TMidiAlias::loadFromIniFile(TIniFile& ini, int index) {
    const OxString value = ini.ReadString(SECTION_ALIAS, deviceKey(index), OxString()).trim();
    const int colon = value.indexOf(':');
    int typeNumber = atNone;
    if (colon <= 0 || !value.substr(0, colon).parseIntInRange(typeNumber, atNone, atOut)) {
        type = atNone;
        deviceName = OxString();
        return;
    }
    type = static_cast<TAliasType>(typeNumber);
    deviceName = value.substr(colon + 1).trim();
    if (deviceName.equalsIgnoreCase(IDENT_NO_DEVICE_DONT_QUERY)) {
        deviceName = OxString();
        flags |= mafNonePersistent;
    } else {
        flags &= ~static_cast<uint32_t>(mafNonePersistent);
    }
}

void TMidiAlias::saveToIniFile(TIniFile& ini, int index) const {
    const bool unboundOnPurpose = deviceName.isEmpty() && (flags & mafNonePersistent) != 0;
    const OxString device = unboundOnPurpose ? OxString(IDENT_NO_DEVICE_DONT_QUERY) : deviceName;
    ini.WriteString(SECTION_ALIAS, nameKey(index), storableValue(name));
    ini.WriteString(SECTION_ALIAS, deviceKey(index),
                    storableValue(OxString::fromInt(type) + ":" + device));
}

void TMidiAliasList::Add(TMidiAlias* alias) {
    if (alias != nullptr && !contains(alias))
        add(alias);
}

void TMidiAliasList::Add(const TMidiAliasList* other) {
    if (other == nullptr)
        return;
    const int otherCount = other->getCount(); // other may be this list
    setCapacity(getCount() + otherCount, 1);
    for (int i = 0; i < otherCount; ++i)
        Add((*other)[i]);
}

void TMidiAliasList::AssignFrom(const TMidiAliasList* other) {
    if (other == this)
        return; // clearing first would lose the very elements to be assigned
    clear();
    Add(other);
}

TMidiAlias* TMidiAliasList::GetAlias(int i) const {
    return i >= 0 && i < getCount() ? (*this)[i] : nullptr;
}

} // namespace Lk
