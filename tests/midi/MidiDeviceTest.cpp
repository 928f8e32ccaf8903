#include "midi/MidiDevice.h"
#include "midi/MidiInput.h"
#include "tests/midi/support/MessageRecorder.h"
#include "tests/midi/support/TestMidiFactory.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

using namespace Lk;

namespace {

class EventLog : public MidiDeviceFactory::Listener {
public:
    void onMidiDeviceError(TMidiDeviceBase*, const OxString& message) override {
        events.push_back(std::string("error ") + message.c_str());
    }
    void onMidiDeviceOpen(TMidiDeviceBase* d) override { add("open", d); }
    void onMidiDeviceClose(TMidiDeviceBase* d) override { add("close", d); }
    void onMidiDeviceUnexpectedClose(TMidiDeviceBase* d) override { add("lost", d); }

    std::vector<std::string> events;

private:
    void add(const char* what, TMidiDeviceBase* d) {
        events.push_back(std::string(what) + " " + d->GetDescriptor()->GetName().c_str());
    }
};

std::unique_ptr<TMidiDeviceBase> createPort(TestMidiFactory& factory, int isInput, int position) {
    OxOwnedList<MidiDeviceDescriptor*> list;
    factory.GetDeviceList(isInput, list);
    return std::unique_ptr<TMidiDeviceBase>(isInput ? list[position]->CreateInputDevice()
                                                    : list[position]->CreateOutputDevice());
}

std::vector<Bytes> sentBytes(const TestMidiFactory& factory, int id) {
    std::vector<Bytes> bytes;
    for (const SentMidiMessage& m : factory.sentMessages(id))
        bytes.push_back(m.bytes);
    return bytes;
}

} // namespace

TEST(MidiPort, opensAndClosesOnceAndTellsTheFactoryListener) {
    TestMidiFactory factory;
    EventLog log;
    factory.setListener(&log);
    const int id = factory.addPort(1, "Keys");
    auto port = createPort(factory, 1, 0);

    EXPECT_EQ(port->Open(nullptr), 1);
    EXPECT_EQ(port->Open(nullptr), 1);
    EXPECT_TRUE(port->IsOpen());
    EXPECT_EQ(factory.openPortObjects(id), 1);
    port->Close();
    port->Close();
    EXPECT_FALSE(port->IsOpen());
    EXPECT_EQ(factory.openPortObjects(id), 0);
    factory.reportUnexpectedClose(id);
    EXPECT_EQ(log.events, (std::vector<std::string>{"open Keys", "close Keys"}));
}

TEST(MidiPort, failedOpenLeavesThePortClosedWithTheErrorAndCanBeRetried) {
    TestMidiFactory factory;
    EventLog log;
    factory.setListener(&log);
    const int id = factory.addPort(0, "Synth");
    auto port = createPort(factory, 0, 0);

    factory.failOpen(id, "Synth is busy");
    OxStringList errors;
    EXPECT_EQ(port->Open(&errors), 0);
    EXPECT_EQ(port->Open(nullptr), 0);
    EXPECT_FALSE(port->IsOpen());
    EXPECT_EQ(errors.getText(), "Synth is busy\n");

    factory.failOpen(id, "");
    factory.removePort(id);
    errors.clear(-1);
    EXPECT_EQ(port->Open(&errors), 0);
    EXPECT_EQ(errors.getText(), "Cannot open MIDI output device \"Synth\":\n");

    factory.replugPort(id);
    EXPECT_EQ(port->Open(&errors), 1);
    EXPECT_EQ(log.events, (std::vector<std::string>{"open Synth"}));
    port->Close();
}

TEST(MidiPort, keepsItsOwnCopyOfANewDescriptor) {
    TestMidiFactory factory;
    factory.addPort(1, "Keys");
    auto port = createPort(factory, 1, 0);
    const MidiDeviceDescriptor* before = port->GetDescriptor();

    std::unique_ptr<MidiDeviceDescriptor> same(before->Clone());
    port->SetDescriptor(same.get());
    EXPECT_EQ(port->GetDescriptor(), before);

    same->dupNumber = 2;
    port->SetDescriptor(same.get());
    EXPECT_NE(port->GetDescriptor(), same.get());
    EXPECT_EQ(port->GetDescriptor()->GetName(), "Keys (2)");
    port->SetDescriptor(nullptr);
    EXPECT_EQ(port->GetDescriptor()->GetName(), "Keys (2)");
}

TEST(MidiPort, outputSendsShortMessagesByTheirExactLength) {
    TestMidiFactory factory;
    factory.setClock(500);
    const int id = factory.addPort(0, "Synth");
    auto device = createPort(factory, 0, 0);
    auto* out = static_cast<TMidiOutputBase*>(device.get());

    const unsigned char sysex[] = {0xF0, 0x01, 0xF7};
    EXPECT_EQ(out->SendShort(0x90, 0x40, 0x7F), 0) << "closed";
    EXPECT_EQ(out->SendLong(sysex, 3), 0) << "closed";
    ASSERT_EQ(out->Open(nullptr), 1);

    EXPECT_EQ(out->SendShort(0x90, 0x40, 0x7F), 1);
    EXPECT_EQ(out->SendShort(0x000605C0u), 1); // status in the lowest byte
    EXPECT_EQ(out->SendShort(0xF8, 0, 0), 1);
    EXPECT_EQ(out->SendShort(0xF0, 0x01, 0x02), 0);
    factory.advanceClock(20);
    EXPECT_EQ(out->SendLong(sysex, 3), 3);
    EXPECT_EQ(out->SendLong(sysex, 0), 0);
    EXPECT_EQ(out->QueuedLongMessages(), 0);

    EXPECT_EQ(sentBytes(factory, id),
              (std::vector<Bytes>{{0x90, 0x40, 0x7F}, {0xC0, 0x05}, {0xF8}, {0xF0, 0x01, 0xF7}}));
    const auto sent = factory.sentMessages(id);
    EXPECT_FALSE(sent[0].viaLong);
    EXPECT_TRUE(sent[3].viaLong);
    EXPECT_EQ(sent[0].time, 500u);
    EXPECT_EQ(sent[3].time, 520u);
    out->Close();
}
