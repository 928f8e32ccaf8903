#pragma once

#include "midi/MidiDeviceFactory.h"
#include "midi/MidiManager.h"

#include <memory>

namespace Lk {

class AlsaSequencer;

// The MIDI backend on the ALSA sequencer: sources and destinations of the other clients,
// in the order of client and port number, and port objects on the process's one client.
class AlsaMidiFactory : public MidiDeviceFactory {
public:
    static constexpr unsigned TYPE = 0x4944494D; // "MIDI", first letter lowest

    // The process's factory, made on first use; null once it has been deleted.
    static AlsaMidiFactory* instance();

    AlsaMidiFactory();
    ~AlsaMidiFactory() override;

    void recreateCache(int isInput, OxList<MidiDeviceDescriptor*>& list) override;
    // Counted afresh on every call: cheap enough for every refresh.
    int GetNumDevs(int isInput) override;
    unsigned GetType() override { return TYPE; }
    OxString GetTypeName(int isInput) override { return isInput ? "MIDI Input" : "MIDI Output"; }
    TMidiDeviceBase* CreateDevice(const MidiDeviceDescriptor* descriptor) override;
    // A port of our client that other programs subscribe to and send to.
    TMidiInputBase* createVirtualInput(const OxString& name) override;
    // No sequencer device (the kernel module is not loaded), or the open's error.
    OxString serviceProblem() override;

private:
    // Tried again on every use while there is no sequencer; ALSA's error code in `error`.
    std::shared_ptr<AlsaSequencer> sequencer(int* error = nullptr);

    std::shared_ptr<AlsaSequencer> client; // guarded by clientMutex
    std::mutex clientMutex;
};

// Adds the factory to the MIDI manager once the manager is initialised.
class AlsaMidi_MMInit : public MidiManagerInitializer {
public:
    void OnMidiManagerInited() override;
};

// Registers the backend's initializer with the MIDI manager; call once at start-up, before
// the manager is first used.
void registerAlsaMidiBackend();

// The text of a MIDI service error code (the table of codes the settings and messages
// were made with), else "MIDI ERROR <code>".
OxString midiGetErrorText(int error);

} // namespace Lk
