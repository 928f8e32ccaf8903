#include "tests/midi/support/TestMidiFactory.h"

#include "midi/MidiInput.h"
#include "platform/OxTime.h"

#include <algorithm>

namespace Lk {

namespace {
void addToTotals(SentMidiTotals& totals, int length, bool viaLong) {
    ++totals.messages;
    totals.bytes += static_cast<size_t>(length);
    if (viaLong)
        ++totals.viaLong;
}
} // namespace

struct TestMidiFactory::Port {
    int id = 0;
    int isInput = 0;
    int position = 0; // enumeration order
    bool own = false; // a virtual input of ours, never enumerated
    // Guarded by portsMutex.
    OxString name;
    OxString serial;
    OxString interface;
    OxString openError;
    std::vector<TMidiDeviceBase*> openDevices;
    // Read by senders without the ports lock.
    std::atomic<bool> present{true};
    // Guarded by sentMutex.
    std::vector<SentMidiMessage> sent;
    SentMidiTotals totals;
};

class TestMidiInput : public TMidiInputBase {
public:
    TestMidiInput(TestMidiFactory& factory, MidiDeviceDescriptor* d)
        : TMidiInputBase(d), factory(factory) {}
    ~TestMidiInput() override { Close(); }

    int OpenImpl(OxStringList* errors) override {
        TestMidiFactory::Port* port = factory.connect(this, errors, &lost);
        if (port == nullptr)
            return 0;
        setHandle(port);
        return 1;
    }
    int CloseImpl(void*) override {
        factory.disconnect(this);
        return 1;
    }
    bool isConnectionLost() const override { return lost; }
    unsigned long long getTimestamp() override {
        return packetTime != 0 ? packetTime : TMidiInputBase::getTimestamp();
    }

    // Written and read under the receive scope.
    unsigned long long packetTime = 0;

private:
    TestMidiFactory& factory;
    std::atomic<bool> lost{false}; // set when the port is removed while this one is open
};

class TestMidiOutput : public TMidiOutputBase {
public:
    TestMidiOutput(TestMidiFactory& factory, MidiDeviceDescriptor* d)
        : TMidiOutputBase(d), factory(factory) {}
    ~TestMidiOutput() override { Close(); }

    int OpenImpl(OxStringList* errors) override {
        TestMidiFactory::Port* port = factory.connect(this, errors, &lost);
        if (port == nullptr)
            return 0;
        setHandle(port);
        return 1;
    }
    int CloseImpl(void*) override {
        factory.disconnect(this);
        return 1;
    }
    bool isConnectionLost() const override { return lost; }

    using TMidiOutputBase::SendShort;
    int SendShort(unsigned char status, unsigned char data1, unsigned char data2) override {
        const unsigned char bytes[3] = {status, data1, data2};
        const int length = ShortMidiMessageLength(status);
        if (length == 0)
            return 0;
        return send(bytes, length, false) > 0 ? 1 : 0;
    }
    int SendLongWait(const unsigned char* data, int length, TMidiOutWaitCallback*) override {
        return send(data, length, true);
    }

private:
    int send(const unsigned char* data, int length, bool viaLong) {
        SendScope scope(*this);
        auto* port = static_cast<TestMidiFactory::Port*>(GetHandle());
        if (!scope.portIsOpen() || port == nullptr || data == nullptr || length < 1 || lost)
            return 0;
        return factory.recordSent(port, data, length, viaLong);
    }

    TestMidiFactory& factory;
    std::atomic<bool> lost{false}; // set when the port is removed while this one is open
};

TestMidiFactory::TestMidiFactory(unsigned type) : type(type) {}

TestMidiFactory::~TestMidiFactory() = default;

int TestMidiFactory::addPort(int isInput, const OxString& name, const OxString& serial,
                             const OxString& interface) {
    std::lock_guard<std::mutex> hold(portsMutex);
    auto port = std::make_unique<Port>();
    port->id = static_cast<int>(ports.size()) + 1;
    port->isInput = isInput;
    port->position = nextPosition++;
    port->name = name;
    port->serial = serial;
    port->interface = interface;
    ports.push_back(std::move(port));
    return ports.back()->id;
}

void TestMidiFactory::removePort(int id) {
    std::lock_guard<std::mutex> hold(portsMutex);
    if (Port* port = find(id)) {
        port->present = false;
        // Cut off for good, as a platform connection is.
        for (TMidiDeviceBase* device : port->openDevices)
            lostFlags[device]->store(true);
        port->openDevices.clear();
    }
}

void TestMidiFactory::replugPort(int id) {
    std::lock_guard<std::mutex> hold(portsMutex);
    if (Port* port = find(id)) {
        port->position = nextPosition++;
        port->present = true;
    }
}

void TestMidiFactory::renamePort(int id, const OxString& name) {
    std::lock_guard<std::mutex> hold(portsMutex);
    if (Port* port = find(id))
        port->name = name;
}

void TestMidiFactory::setIdentity(int id, const OxString& serial, const OxString& interface) {
    std::lock_guard<std::mutex> hold(portsMutex);
    if (Port* port = find(id)) {
        port->serial = serial;
        port->interface = interface;
    }
}

void TestMidiFactory::failOpen(int id, const OxString& errorText) {
    std::lock_guard<std::mutex> hold(portsMutex);
    if (Port* port = find(id))
        port->openError = errorText;
}

int TestMidiFactory::feed(int id, const unsigned char* data, int length, int packetSize,
                          unsigned long long timestamp) {
    if (packetSize <= 0)
        packetSize = std::max(length, 1);
    int fed = 0;
    for (size_t k = 0;; ++k) {
        std::unique_lock<std::mutex> hold(portsMutex);
        Port* port = find(id);
        if (port == nullptr || !port->isInput || !port->present || k >= port->openDevices.size())
            break;
        auto* input = static_cast<TestMidiInput*>(port->openDevices[k]);
        // Entered while the ports lock keeps the port object from being closed and freed.
        TMidiInputBase::ReceiveScope scope(*input);
        hold.unlock();
        if (!scope.portIsOpen())
            continue;
        input->packetTime = timestamp;
        if (length == 0)
            input->parseAndDispatch(data, 0);
        // A Close that begins meanwhile ends the feeding, as the platform stops delivering.
        for (int offset = 0; offset < length && scope.portIsOpen(); offset += packetSize)
            input->parseAndDispatch(data + offset, std::min(packetSize, length - offset));
        ++fed;
    }
    return fed;
}

void TestMidiFactory::offerVirtualInputs(bool offer, const OxString& openError) {
    std::lock_guard<std::mutex> hold(portsMutex);
    virtualInputsOffered = offer;
    virtualInputError = openError;
}

int TestMidiFactory::virtualInputId(const OxString& name) const {
    std::lock_guard<std::mutex> hold(portsMutex);
    for (auto it = ports.rbegin(); it != ports.rend(); ++it)
        if ((*it)->own && (*it)->name == name)
            return (*it)->id;
    return 0;
}

TMidiInputBase* TestMidiFactory::createVirtualInput(const OxString& name) {
    int id;
    {
        std::lock_guard<std::mutex> hold(portsMutex);
        if (!virtualInputsOffered)
            return nullptr;
        auto port = std::make_unique<Port>();
        port->id = id = static_cast<int>(ports.size()) + 1;
        port->isInput = 1;
        port->own = true;
        port->name = name;
        port->openError = virtualInputError;
        ports.push_back(std::move(port));
    }
    auto* d = new MidiDeviceDescriptor(this, 1, -1, name, OxString(), OxString(), OxString());
    d->address = id;
    return new TestMidiInput(*this, d);
}

void TestMidiFactory::reportUnexpectedClose(int id) {
    std::vector<TMidiDeviceBase*> lost;
    {
        std::lock_guard<std::mutex> hold(portsMutex);
        if (Port* port = find(id))
            lost = port->openDevices;
    }
    if (Listener* l = getListener())
        for (TMidiDeviceBase* device : lost)
            l->onMidiDeviceUnexpectedClose(device);
}

std::vector<SentMidiMessage> TestMidiFactory::sentMessages(int id) const {
    std::lock_guard<std::mutex> holdPorts(portsMutex);
    Port* port = find(id);
    std::lock_guard<std::mutex> hold(sentMutex);
    return port != nullptr ? port->sent : std::vector<SentMidiMessage>();
}

size_t TestMidiFactory::sentCount(int id) const {
    std::lock_guard<std::mutex> holdPorts(portsMutex);
    Port* port = find(id);
    std::lock_guard<std::mutex> hold(sentMutex);
    return port != nullptr ? port->sent.size() : 0;
}

void TestMidiFactory::clearSent(int id) {
    std::lock_guard<std::mutex> holdPorts(portsMutex);
    Port* port = find(id);
    std::lock_guard<std::mutex> hold(sentMutex);
    if (port != nullptr) {
        port->sent.clear();
        port->totals = SentMidiTotals();
    }
}

SentMidiTotals TestMidiFactory::sentTotals(int id) const {
    std::lock_guard<std::mutex> holdPorts(portsMutex);
    Port* port = find(id);
    std::lock_guard<std::mutex> hold(sentMutex);
    return port != nullptr ? port->totals : SentMidiTotals();
}

int TestMidiFactory::openPortObjects(int id) const {
    std::lock_guard<std::mutex> hold(portsMutex);
    const Port* port = find(id);
    return port != nullptr ? static_cast<int>(port->openDevices.size()) : 0;
}

void TestMidiFactory::setClock(unsigned ms) {
    clock = ms;
    manualClock = true;
}

void TestMidiFactory::advanceClock(unsigned ms) {
    clock += ms;
}

unsigned TestMidiFactory::currentMilliTime() {
    return manualClock ? clock.load() : getMilliTime();
}

void TestMidiFactory::recreateCache(int isInput, OxList<MidiDeviceDescriptor*>& list) {
    ++enumerationCount;
    list.clearAndDelete();
    std::lock_guard<std::mutex> hold(portsMutex);
    std::vector<Port*> listed;
    for (const auto& port : ports)
        if (!port->isInput == !isInput && port->present && !port->own)
            listed.push_back(port.get());
    std::sort(listed.begin(), listed.end(),
              [](const Port* a, const Port* b) { return a->position < b->position; });
    for (const Port* port : listed) {
        auto* d = new MidiDeviceDescriptor(this, isInput, list.getCount(), port->name,
                                           port->interface, port->serial, OxString());
        d->address = port->id;
        list.add(d);
    }
}

int TestMidiFactory::GetNumDevs(int isInput) {
    std::lock_guard<std::mutex> hold(portsMutex);
    return static_cast<int>(std::count_if(ports.begin(), ports.end(), [isInput](const auto& p) {
        return !p->isInput == !isInput && p->present && !p->own;
    }));
}

OxString TestMidiFactory::GetTypeName(int isInput) {
    return isInput ? "Test Input" : "Test Output";
}

TMidiDeviceBase* TestMidiFactory::CreateDevice(const MidiDeviceDescriptor* descriptor) {
    if (descriptor == nullptr)
        return nullptr;
    if (descriptor->isInput)
        return new TestMidiInput(*this, descriptor->Clone());
    return new TestMidiOutput(*this, descriptor->Clone());
}

TestMidiFactory::Port* TestMidiFactory::find(long long id) const {
    // Ports are never removed, so a port found stays valid while the factory lives.
    if (id < 1 || id > static_cast<long long>(ports.size()))
        return nullptr;
    return ports[id - 1].get();
}

TestMidiFactory::Port* TestMidiFactory::connect(TMidiDeviceBase* device, OxStringList* errors,
                                                std::atomic<bool>* lost) {
    const MidiDeviceDescriptor* d = device->GetDescriptor();
    std::lock_guard<std::mutex> hold(portsMutex);
    // By address, not by the enumeration index, which may be stale.
    Port* port = find(d->address);
    OxString error;
    if (port == nullptr || !port->present || !port->isInput != !d->isInput)
        error =
            OxString::format("Cannot open MIDI %s device \"%s\":", d->isInput ? "input" : "output",
                             d->GetName().c_str());
    else if (port->openError.isNotEmpty())
        error = port->openError;
    if (error.isNotEmpty()) {
        if (errors != nullptr)
            errors->list.add(error);
        return nullptr;
    }
    port->openDevices.push_back(device);
    lost->store(false);
    lostFlags[device] = lost;
    return port;
}

void TestMidiFactory::disconnect(TMidiDeviceBase* device) {
    std::lock_guard<std::mutex> hold(portsMutex);
    lostFlags.erase(device);
    for (const auto& port : ports) {
        auto& open = port->openDevices;
        open.erase(std::remove(open.begin(), open.end(), device), open.end());
    }
}

int TestMidiFactory::recordSent(Port* port, const unsigned char* data, int length, bool viaLong) {
    if (!port->present)
        return 0;
    if (!keepSent.load()) {
        std::lock_guard<std::mutex> hold(sentMutex);
        addToTotals(port->totals, length, viaLong);
        return length;
    }
    SentMidiMessage message;
    message.bytes.assign(data, data + length);
    message.time = currentMilliTime();
    message.viaLong = viaLong;
    std::lock_guard<std::mutex> hold(sentMutex);
    addToTotals(port->totals, length, viaLong);
    port->sent.push_back(std::move(message));
    return length;
}

} // namespace Lk
