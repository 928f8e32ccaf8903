#include "tests/midi/support/TestMidiFactory.h"

#include "platform/OxTime.h"

#include <algorithm>

namespace Lk {

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

// The connection of an input or output port object to its port, which the factory cuts
// for good when the port is removed.
template <typename Base> class TestPort : public Base {
public:
    TestPort(TestMidiFactory& factory, MidiDeviceDescriptor* d) : Base(d), factory(factory) {}

    int OpenImpl(OxStringList* errors) override {
        TestMidiFactory::Port* port = factory.connect(this, errors, &lost);
        if (port == nullptr)
            return 0;
        this->setHandle(port);
        return 1;
    }
    int CloseImpl(void*) override {
        factory.disconnect(this);
        return 1;
    }
    bool isConnectionLost() const override { return lost; }

protected:
    TestMidiFactory& factory;
    std::atomic<bool> lost{false}; // set when the port is removed while this one is open
};

class TestMidiInput final : public TestPort<TMidiInputBase> {
public:
    using TestPort::TestPort;
    // Closed here, while the object is still whole for a delivery that is under way.
    ~TestMidiInput() override { Close(); }

    unsigned long long getTimestamp() override {
        return packetTime != 0 ? packetTime : TMidiInputBase::getTimestamp();
    }

    // Written and read under the receive scope.
    unsigned long long packetTime = 0;
};

class TestMidiOutput final : public TestPort<TMidiOutputBase> {
public:
    using TestPort::TestPort;
    ~TestMidiOutput() override { Close(); }

    using TMidiOutputBase::SendShort;
    int SendShort(unsigned char status, unsigned char data1, unsigned char data2) override {
        const unsigned char bytes[3] = {status, data1, data2};
        const int length = ShortMidiMessageLength(status);
        return length != 0 && send(bytes, length, false) > 0 ? 1 : 0;
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
};

TestMidiFactory::TestMidiFactory() = default;

TestMidiFactory::~TestMidiFactory() = default;

int TestMidiFactory::addPort(int isInput, const OxString& name, const OxString& serial,
                             const OxString& interface) {
    std::lock_guard<std::mutex> hold(portsMutex);
    Port& port = newPort(isInput, name);
    port.position = nextPosition++;
    port.serial = serial;
    port.interface = interface;
    return port.id;
}

void TestMidiFactory::removePort(int id) {
    withPort(id, [this](Port& port) {
        port.present = false;
        // Cut off for good, as a platform connection is.
        for (TMidiDeviceBase* device : port.openDevices)
            lostFlags[device]->store(true);
        port.openDevices.clear();
    });
}

void TestMidiFactory::replugPort(int id) {
    withPort(id, [this](Port& port) {
        port.position = nextPosition++;
        port.present = true;
    });
}

void TestMidiFactory::renamePort(int id, const OxString& name) {
    withPort(id, [&](Port& port) { port.name = name; });
}

void TestMidiFactory::failOpen(int id, const OxString& errorText) {
    withPort(id, [&](Port& port) { port.openError = errorText; });
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
    std::unique_lock<std::mutex> hold(portsMutex);
    if (!virtualInputsOffered)
        return nullptr;
    Port& port = newPort(1, name);
    port.own = true;
    port.openError = virtualInputError;
    hold.unlock();
    auto* d = new MidiDeviceDescriptor(this, 1, -1, name, OxString(), OxString(), OxString());
    d->address = port.id;
    return new TestMidiInput(*this, d);
}

void TestMidiFactory::reportUnexpectedClose(int id) {
    std::vector<TMidiDeviceBase*> lost;
    withPort(id, [&](Port& port) { lost = port.openDevices; });
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

std::vector<std::vector<unsigned char>> TestMidiFactory::takeSent(int id) {
    std::vector<std::vector<unsigned char>> bytes;
    for (SentMidiMessage& message : sentMessages(id))
        bytes.push_back(std::move(message.bytes));
    clearSent(id);
    return bytes;
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

unsigned TestMidiFactory::currentMilliTime() {
    return manualClock ? clock.load() : getMilliTime();
}

void TestMidiFactory::recreateCache(int isInput, OxList<MidiDeviceDescriptor*>& list) {
    list.clearAndDelete();
    std::lock_guard<std::mutex> hold(portsMutex);
    for (const Port* port : listed(isInput)) {
        auto* d = new MidiDeviceDescriptor(this, isInput, list.getCount(), port->name,
                                           port->interface, port->serial, OxString());
        d->address = port->id;
        list.add(d);
    }
}

int TestMidiFactory::GetNumDevs(int isInput) {
    std::lock_guard<std::mutex> hold(portsMutex);
    return static_cast<int>(listed(isInput).size());
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

TestMidiFactory::Port& TestMidiFactory::newPort(int isInput, const OxString& name) {
    ports.push_back(std::make_unique<Port>());
    Port& port = *ports.back();
    port.id = static_cast<int>(ports.size());
    port.isInput = isInput;
    port.name = name;
    return port;
}

std::vector<TestMidiFactory::Port*> TestMidiFactory::listed(int isInput) const {
    std::vector<Port*> listed;
    for (const auto& port : ports)
        if (!port->isInput == !isInput && port->present && !port->own)
            listed.push_back(port.get());
    std::sort(listed.begin(), listed.end(),
              [](const Port* a, const Port* b) { return a->position < b->position; });
    return listed;
}

void TestMidiFactory::withPort(int id, const std::function<void(Port&)>& change) {
    std::lock_guard<std::mutex> hold(portsMutex);
    if (Port* port = find(id))
        change(*port);
}

TestMidiFactory::Port* TestMidiFactory::connect(TMidiDeviceBase* device, OxStringList* errors,
                                                std::atomic<bool>* lost) {
    const auto d = device->GetDescriptor();
    std::lock_guard<std::mutex> hold(portsMutex);
    // By address, not by the enumeration index, which may be stale.
    Port* port = find(d->address);
    OxString error;
    if (port == nullptr || !port->present || !port->isInput != !d->isInput)
        error = "No such port";
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
    // Without keeping the messages, nothing is allocated.
    const bool keep = keepSent.load();
    SentMidiMessage message;
    if (keep)
        message = {std::vector<unsigned char>(data, data + length), viaLong};
    std::lock_guard<std::mutex> hold(sentMutex);
    ++port->totals.messages;
    port->totals.bytes += static_cast<size_t>(length);
    if (keep)
        port->sent.push_back(std::move(message));
    return length;
}

} // namespace Lk
