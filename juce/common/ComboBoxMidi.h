#pragma once

#include "juce/common/JuceUtils.h"
#include "midi/MidiManager.h"
#include "platform/OxList.h"

// A drop-down list of the input or output ports the MIDI manager knows, bound to one
// alias: shows the alias's port and binds the alias to the picked port on commit. Rebuilds
// itself when the device list changes; all list work runs on the message thread.
class ComboBoxMidi : public juce::ComboBox,
                     public juce::ComboBox::Listener,
                     public Lk::TMidiDeviceListListener,
                     public Runnable {
public:
    static constexpr int ID_NONE = -1;
    static constexpr int ID_NONE_PERSISTENT = -2;

    class Listener {
    public:
        virtual ~Listener() = default;
        virtual void comboBoxMidiChanged(ComboBoxMidi* box) = 0;
    };

    explicit ComboBoxMidi(int isInput);
    ~ComboBoxMidi() override;

    void setAlias(Lk::TMidiAlias* a);
    Lk::TMidiAlias* getAlias() const { return alias; }
    void setIncludePendingDevices(int on);
    void setIncludeAssignToNone(int on);
    void setOnlySelectIfOpen(int on) { onlySelectIfOpen = on; }
    void display();
    void OnMidiDeviceListChanged() override;
    void runActions();
    void run(void* data, int value) override;
    Lk::MidiManagerDev* getSelectedDevice();
    int commit(int unused = 0);
    void comboBoxChanged(juce::ComboBox* box) override;
    void addListener(Listener* l) { listeners.add(l); }
    void removeListener(Listener* l) { listeners.remove(listeners.indexOf(l)); }
    // Whether the user picked another item since the last display of the alias's port.
    bool isChangedByUser() const { return getSelectedId() != displayedId; }

private:
    // Sets one of the options that decide the list, and lists the ports again when it changed.
    void setListOption(int& option, int on);
    void refreshPortListImpl();
    void displayImpl();
    void checkForChange();
    // The bound alias's port name (and flags), read under the alias lock: the timer thread
    // changes them.
    Lk::OxString boundDeviceName(uint32_t* flags = nullptr) const;

    int isInput;
    int includePendingDevices = 1;
    int includeAssignToNone = 0;
    int onlySelectIfOpen = 0;
    Lk::TMidiAlias* alias = nullptr;
    std::atomic<int> displayPending{0};
    std::atomic<int> refreshPending{0};
    Lk::OxList<Listener*> listeners;
    int lastSelectedId = -10;
    int displayedId = 0;
    // Made on the message thread at construction and only copied elsewhere: a run scheduled
    // from another thread finds out there whether the box still exists.
    juce::Component::SafePointer<ComboBoxMidi> selfRef;
};
