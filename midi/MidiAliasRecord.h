#pragma once

#include "core/inifile/TIniFile.h"
#include "platform/OxList.h"
#include "platform/OxString.h"

#include <cstdint>

namespace Lk {

// The settings section of the aliases and its keys; entry k is Name<k> and Device<k>.
inline constexpr const char* SECTION_ALIAS = "MIDI.alias";
inline constexpr const char* IDENT_NAME = "Name";
inline constexpr const char* IDENT_DEVICE = "Device";
// Stored instead of an empty device name when the user chose to use no port.
inline constexpr const char* IDENT_NO_DEVICE_DONT_QUERY = "(none persistent)";

enum TAliasType : int {
    atNone = 0, // no direction; a removed alias has this type
    atIn = 1,
    atOut = 2,
};

enum TMidiAliasFlag : uint32_t {
    mafUsed = 0x1,           // the application asked for this alias
    mafHidden = 0x2,         // never listed in the port dialog, never saved
    mafNonePersistent = 0x4, // bound to no port on purpose; saved although unbound
    mafPaired = 0x800000,    // transient mark of the port dialog
};

// A stable name for one direction of a MIDI port, bound to the port by the port's name.
class TMidiAlias {
public:
    TMidiAlias(const OxString& name, const OxString& device, TAliasType type);
    // An alias named `name` whose type and device come from entry `index` of the settings.
    TMidiAlias(const OxString& name, TIniFile& ini, int index);
    virtual ~TMidiAlias() = default;

    static OxString nameKey(int index);
    static OxString deviceKey(int index);

    bool SameAs(const OxString& otherName, TAliasType otherType) const;
    // The input and the output of one device ("Keys In" / "Keys Out").
    bool isInOutPairWith(const TMidiAlias* other) const;

    void loadFromIniFile(TIniFile& ini, int index);
    void saveToIniFile(TIniFile& ini, int index) const;

    TAliasType type;
    OxString name;       // trimmed
    OxString deviceName; // trimmed; empty when bound to no port
    uint32_t flags = 0;  // TMidiAliasFlag bits
    int userID = -1;     // index of the managed port it resolves to; written by the manager
    int deviceType = 0;  // type of that port's descriptor
};

// Aliases held by others (routes, port entries, dialogs); never owns its elements and
// holds each alias at most once.
class TMidiAliasList : public OxList<TMidiAlias*> {
public:
    virtual void Add(TMidiAlias* alias);
    void Add(const TMidiAliasList* other);
    void AssignFrom(const TMidiAliasList* other);
    // Null outside the list.
    TMidiAlias* GetAlias(int i) const;
};

class TMidiAliasChangeListener {
public:
    virtual ~TMidiAliasChangeListener() = default;
    virtual void OnMidiAliasListChanged() = 0;
};

class TMidiRouteChangeListener {
public:
    virtual ~TMidiRouteChangeListener() = default;
    virtual void OnMidiRouteListChanged() = 0;
};

} // namespace Lk
