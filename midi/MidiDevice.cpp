#include "midi/MidiDevice.h"

#include "midi/MidiDeviceFactory.h"
#include "platform/ErrorHandler.h"

namespace Lk {

int ShortMidiMessageLength(int status) {
    // By high nibble below 0xF0, by low nibble from 0xF0 on.
    static const unsigned char channelLength[16] = {0, 0, 0, 0, 0, 0, 0, 0, 3, 3, 3, 3, 2, 2, 3, 0};
    static const unsigned char systemLength[16] = {0, 2, 3, 2, 0, 0, 1, 0, 1, 0, 1, 1, 1, 0, 1, 1};
    if (status < 0 || status > 0xFF)
        return 0;
    if (status < 0xF0)
        return channelLength[status >> 4];
    return systemLength[status & 0x0F];
}

TMidiDeviceBase::TMidiDeviceBase(MidiDeviceDescriptor* descriptor)
    : descriptor(descriptor != nullptr ? descriptor : new MidiDeviceDescriptor()) {}

TMidiDeviceBase::~TMidiDeviceBase() {
    oxassert(!IsOpen());
}

int TMidiDeviceBase::Open(OxStringList* errors) {
    if (IsOpen())
        return 1;
    int result;
    {
        OxScopedLock hold(lock);
        // Another thread may have opened the port while this one waited for the lock.
        if (IsOpen())
            return 1;
        result = OpenImpl(errors);
    }
    if (result == 0)
        return 0;
    onOpen();
    if (MidiDeviceFactory* factory = GetDescriptor()->factory)
        if (MidiDeviceFactory::Listener* l = factory->getListener())
            l->onMidiDeviceOpen(this);
    return result;
}

void TMidiDeviceBase::Close() {
    if (!IsOpen())
        return;
    {
        OxScopedLock hold(lock);
        if (IsOpen())
            deliverPendingInput();
    }
    void* h = handle.exchange(nullptr);
    if (h == nullptr)
        return;
    {
        OxScopedLock hold(lock);
        CloseImpl(h);
    }
    onClose();
    if (MidiDeviceFactory* factory = GetDescriptor()->factory)
        if (MidiDeviceFactory::Listener* l = factory->getListener())
            l->onMidiDeviceClose(this);
}

void TMidiDeviceBase::SetDescriptor(const MidiDeviceDescriptor* d) {
    if (d == nullptr || d->IsEqual(GetDescriptor().get()))
        return;
    std::atomic_store(&descriptor, std::shared_ptr<const MidiDeviceDescriptor>(d->Clone()));
}

int TMidiOutputBase::SendShort(unsigned int message) {
    return SendShort(message & 0xFF, (message >> 8) & 0xFF, (message >> 16) & 0xFF);
}

void TMidiOutputBase::onClose() {
    OxScopedLock hold(useLock);
}

int TMidiOutputBase::SendLong(const unsigned char* data, int length) {
    return SendLongWait(data, length, nullptr);
}

} // namespace Lk
