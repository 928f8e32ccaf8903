#include "juce/common/ComboBoxMidi.h"

#include "midi/MidiAlias.h"

namespace {
const char* const TEXT_NONE = "(none)";
const char* const TEXT_NO_ASSIGNMENT = "(no assignment)";
const char* const TEXT_NONE_PERSISTENT = "(none - don't ask again)";
const char* const TEXT_NO_PORTS = "(no ports available)";
const char* const TEXT_PENDING_SUFFIX = " (pending)";

bool holdsMessageThread() {
    auto* mm = juce::MessageManager::getInstanceWithoutCreating();
    return mm != nullptr && mm->currentThreadHasLockedMessageManager();
}
} // namespace

ComboBoxMidi::ComboBoxMidi(int input) : isInput(input), selfRef(this) {
    juce::ComboBox::addListener(this);
    setEditableText(false);
    setJustificationType(juce::Justification::centredLeft);
    setTextWhenNothingSelected(TEXT_NONE);
    setTextWhenNoChoicesAvailable(TEXT_NO_PORTS);
    Lk::MidiManager::instance()->AddDevListChangeListener(this);
}

ComboBoxMidi::~ComboBoxMidi() {
    juce::ComboBox::removeListener(this);
    if (Lk::MidiManager::IsInstanceAllocated())
        Lk::MidiManager::instance()->RemoveDevListChangeListener(this);
}

void ComboBoxMidi::setAlias(Lk::TMidiAlias* a) {
    alias = a;
    if (a != nullptr)
        isInput = a->type == Lk::atIn;
}

void ComboBoxMidi::setIncludePendingDevices(int on) {
    setListOption(includePendingDevices, on);
}

void ComboBoxMidi::setIncludeAssignToNone(int on) {
    setListOption(includeAssignToNone, on);
}

void ComboBoxMidi::setListOption(int& option, int on) {
    if (on == option)
        return;
    option = on;
    if (getNumItems() > 0 && !refreshPending) {
        refreshPending = 1;
        runActions();
    }
}

void ComboBoxMidi::display() {
    if (displayPending.exchange(1) == 0)
        runActions();
}

void ComboBoxMidi::OnMidiDeviceListChanged() {
    if (refreshPending.exchange(1) == 0)
        runActions();
}

void ComboBoxMidi::runActions() {
    if (holdsMessageThread()) {
        run(nullptr, 0);
        return;
    }
    juce::Component::SafePointer<ComboBoxMidi> target = selfRef;
    juce::MessageManager::callAsync([target] {
        if (auto* box = target.getComponent())
            box->run(nullptr, 0);
    });
}

void ComboBoxMidi::run(void*, int) {
    if (getNumItems() == 0)
        refreshPending = 1;
    if (refreshPending.exchange(0))
        refreshPortListImpl();
    if (displayPending.exchange(0))
        displayImpl();
}

void ComboBoxMidi::refreshPortListImpl() {
    int previous = getSelectedId();
    clear(juce::dontSendNotification);
    if (includeAssignToNone) {
        addItem(TEXT_NO_ASSIGNMENT, ID_NONE);
        addItem(TEXT_NONE_PERSISTENT, ID_NONE_PERSISTENT);
        setTextWhenNothingSelected(TEXT_NO_ASSIGNMENT);
    } else {
        addItem(TEXT_NONE, ID_NONE);
        setTextWhenNothingSelected(TEXT_NONE);
        if (previous == ID_NONE_PERSISTENT)
            previous = ID_NONE;
    }
    auto* manager = Lk::MidiManager::instance();
    const bool aliasMatches = alias != nullptr && (alias->type == Lk::atIn) == (isInput != 0);
    const Lk::OxString boundDevice = aliasMatches ? boundDeviceName() : Lk::OxString();
    Lk::OxList<Lk::MidiManagerDev*> ports;
    bool previousListed = false;
    const int count = manager->GetDevCount(isInput);
    for (int i = 0; i < count; ++i) {
        Lk::MidiManagerDev* dev = nullptr;
        if (!manager->GetDevDescriptor(i, isInput, dev) || dev == nullptr)
            continue;
        if (!dev->Exists() && !(dev->IsPending() && includePendingDevices))
            continue;
        if (previous == 0 && aliasMatches &&
            boundDevice.equalsIgnoreCase(dev->GetDescriptor()->GetRawName()))
            previous = i + 1;
        ports.add(dev);
        previousListed = previousListed || previous == i + 1;
    }
    ports.sort();
    for (int i = 0; i < ports.getCount(); ++i) {
        juce::String text = Lk::JuceStringFrom(ports[i]->GetDisplayDevName());
        if (ports[i]->IsPending())
            text += TEXT_PENDING_SUFFIX;
        addItem(text, ports[i]->GetIndex() + 1);
    }
    setSelectedId(previousListed || previous < 0 ? previous : ID_NONE, juce::sendNotificationAsync);
    checkForChange();
}

void ComboBoxMidi::displayImpl() {
    if (alias == nullptr) {
        checkForChange();
        return;
    }
    uint32_t flags;
    const Lk::OxString boundDevice = boundDeviceName(&flags);
    auto* manager = Lk::MidiManager::instance();
    const int index = manager->GetDevIndexForAliasDevice(boundDevice, isInput);
    Lk::MidiManagerDev* dev = nullptr;
    int id = 0;
    if (manager->GetDevDescriptor(index, isInput, dev) && dev != nullptr)
        id = onlySelectIfOpen && !dev->IsOpen() ? 0 : index + 1;
    if (id == 0)
        id = includeAssignToNone && (flags & Lk::mafNonePersistent) ? ID_NONE_PERSISTENT
                                                                           : ID_NONE;
    setSelectedId(id, juce::sendNotificationAsync);
    displayedId = getSelectedId();
    checkForChange();
}

Lk::OxString ComboBoxMidi::boundDeviceName(uint32_t* flags) const {
    Lk::OxScopedLock hold(Lk::TMidiAliasManager::instance()->GetLock());
    if (flags != nullptr)
        *flags = alias->flags;
    return alias->deviceName;
}

Lk::MidiManagerDev* ComboBoxMidi::getSelectedDevice() {
    const int id = getSelectedId();
    if (id <= 0)
        return nullptr;
    return Lk::MidiManager::instance()->GetDevDescriptor(id - 1, isInput);
}

int ComboBoxMidi::commit(int) {
    if (alias == nullptr)
        return 0;
    Lk::OxString device;
    const int id = getSelectedId();
    if (auto* dev = getSelectedDevice())
        device = dev->GetDescriptor()->GetName();
    auto* aliases = Lk::TMidiAliasManager::instance();
    aliases->BeginUpdate();
    const int result = aliases->SetAliasDevice(alias, device);
    if (device.isEmpty()) {
        Lk::OxScopedLock hold(aliases->GetLock());
        if (id == ID_NONE_PERSISTENT)
            alias->flags |= Lk::mafNonePersistent;
        else
            alias->flags &= ~static_cast<uint32_t>(Lk::mafNonePersistent);
    }
    aliases->EndUpdate();
    displayedId = getSelectedId();
    return result;
}

void ComboBoxMidi::comboBoxChanged(juce::ComboBox*) {
    checkForChange();
}

void ComboBoxMidi::checkForChange() {
    const int id = getSelectedId();
    if (id == lastSelectedId)
        return;
    lastSelectedId = id;
    for (int i = 0; i < listeners.getCount(); ++i)
        listeners[i]->comboBoxMidiChanged(this);
}
