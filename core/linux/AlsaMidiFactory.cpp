#include "core/linux/AlsaMidiFactory.h"

#include "core/linux/AlsaMidiInput.h"
#include "core/linux/AlsaMidiOutput.h"
#include "core/linux/AlsaPorts.h"
#include "core/linux/AlsaSequencer.h"
#include "core/linux/AlsaVirtualInput.h"
#include "platform/ErrorHandler.h"
#include "platform/OxSingleton.h"

namespace Lk {

namespace {

OxSingleton<AlsaMidiFactory> factoryInstance;

} // namespace

// One factory per process: once deleted, none is made again.
AlsaMidiFactory* AlsaMidiFactory::instance() {
    return factoryInstance.get([]() -> AlsaMidiFactory* {
        oxassert(!factoryInstance.wasReleased());
        return factoryInstance.wasReleased() ? nullptr : new AlsaMidiFactory();
    });
}

AlsaMidiFactory::AlsaMidiFactory() = default;

AlsaMidiFactory::~AlsaMidiFactory() {
    factoryInstance.release(this);
    if (MidiManager::IsInstanceAllocated())
        MidiManager::instance()->RemoveFactory(this, 0);
}

std::shared_ptr<AlsaSequencer> AlsaMidiFactory::sequencer(int* error) {
    std::lock_guard<std::mutex> hold(clientMutex);
    if (!client || client->isBroken())
        client = AlsaSequencer::shared(error);
    return client;
}

OxString AlsaMidiFactory::serviceProblem() {
    int error = 0;
    if (sequencer(&error))
        return OxString();
    if (error == -ENOENT)
        return OxString::format("No MIDI sequencer (%s is missing): load the snd-seq kernel "
                                "module (sudo modprobe snd-seq).",
                                AlsaSequencer::devicePath());
    return OxString::format("Cannot open the MIDI sequencer %s: %s.", AlsaSequencer::devicePath(),
                            snd_strerror(error));
}

int AlsaMidiFactory::GetNumDevs(int isInput) {
    std::shared_ptr<AlsaSequencer> seq = sequencer();
    if (!seq)
        return 0;
    return alsaForEachListedPort(seq->handle(), seq->clientId(), isInput,
                                 [](const snd_seq_client_info_t*, const snd_seq_port_info_t*) {});
}

void AlsaMidiFactory::recreateCache(int isInput, OxList<MidiDeviceDescriptor*>& list) {
    list.clearAndDelete();
    std::shared_ptr<AlsaSequencer> seq = sequencer();
    if (!seq)
        return;
    alsaForEachListedPort(seq->handle(), seq->clientId(), isInput,
                          [&](snd_seq_client_info_t* client, const snd_seq_port_info_t* port) {
                              const AlsaPortIdentity identity = alsaIdentify(client, port);
                              auto* d = new MidiDeviceDescriptor(this, isInput, list.getCount(),
                                                                 identity.name, identity.interface,
                                                                 identity.serial, OxString());
                              d->address = identity.address;
                              list.add(d);
                          });
}

TMidiDeviceBase* AlsaMidiFactory::CreateDevice(const MidiDeviceDescriptor* descriptor) {
    if (descriptor == nullptr)
        return nullptr;
    if (descriptor->isInput)
        return new AlsaMidiInput(descriptor->Clone());
    return new AlsaMidiOutput(descriptor->Clone());
}

TMidiInputBase* AlsaMidiFactory::createVirtualInput(const OxString& name) {
    return new AlsaVirtualInput(
        new MidiDeviceDescriptor(this, 1, -1, name, OxString(), OxString(), OxString()));
}

void AlsaMidi_MMInit::OnMidiManagerInited() {
    if (AlsaMidiFactory* factory = AlsaMidiFactory::instance())
        MidiManager::instance()->AddFactory(factory, 0);
}

void registerAlsaMidiBackend() {
    // The manager owns its initializers and deletes them with itself.
    MidiManager::AddInitializer(new AlsaMidi_MMInit());
}

OxString midiGetErrorText(int error) {
    static const char* const texts[] = {
        "An invalid MIDIClientRef was passed.",
        "An invalid MIDIPortRef was passed.",
        "A source endpoint was passed to a function expecting a destination, or vice versa.",
        "Attempt to close a non-existant connection.",
        "An invalid MIDIEndpointRef was passed.",
        "Attempt to query a property not set on the object.",
        "Attempt to set a property with a value not of the correct type.",
        "Internal error; there is no current MIDI setup object.",
        "Communication with MIDIServer failed.",
        "Unable to start MIDIServer.",
        "Unable to read the saved state.",
        "A driver is calling a non-I/O function in the server from a thread other than the "
        "server's main thread.",
        "The requested object does not exist.",
        "Attempt to set a non-unique kMIDIPropertyUniqueID on an object.",
    };
    constexpr int FIRST = -10830;
    constexpr int COUNT = static_cast<int>(sizeof texts / sizeof texts[0]);
    if (error <= FIRST && error > FIRST - COUNT)
        return texts[FIRST - error];
    return OxString::format("MIDI ERROR %d", error);
}

} // namespace Lk
