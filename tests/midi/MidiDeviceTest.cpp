#include "tests/midi/support/TestMidiFactory.h"
#include "tests/support/MidiBytes.h"
#include "tests/support/Recorder.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

using namespace Lk;
using dokatest::Bytes;
using Lines = std::vector<std::string>;

namespace {

// What the factory's listener is told, one line each, e.g. "open Keys".
class EventLog : public MidiDeviceFactory::Listener, public dokatest::Recorder<std::string> {
public:
    void onMidiDeviceError(TMidiDeviceBase*, const OxString& message) override {
        add(std::string("error ") + message.c_str());
    }
    void onMidiDeviceOpen(TMidiDeviceBase* d) override { line("open", d); }
    void onMidiDeviceClose(TMidiDeviceBase* d) override { line("close", d); }
    void onMidiDeviceUnexpectedClose(TMidiDeviceBase* d) override { line("lost", d); }

private:
    void line(const char* what, TMidiDeviceBase* d) {
        add(std::string(what) + " " + d->GetDescriptor()->GetName().c_str());
    }
};

} // namespace

TEST(MidiPort, opensAndClosesOnceAndTellsTheFactoryListener) {
    TestMidiFactory factory;
    EventLog log;
    factory.setListener(&log);
    const int id = factory.addPort(1, "Keys");
    auto port = factory.create<TMidiInputBase>();

    EXPECT_EQ(port->Open(nullptr), 1);
    EXPECT_EQ(port->Open(nullptr), 1);
    EXPECT_TRUE(port->IsOpen());
    EXPECT_EQ(factory.openPortObjects(id), 1);
    port->Close();
    port->Close();
    EXPECT_FALSE(port->IsOpen());
    EXPECT_EQ(factory.openPortObjects(id), 0);
    factory.reportUnexpectedClose(id);
    EXPECT_EQ(log.take(), (Lines{"open Keys", "close Keys"}));
}

TEST(MidiPort, failedOpenLeavesThePortClosedWithTheErrorAndCanBeRetried) {
    TestMidiFactory factory;
    EventLog log;
    factory.setListener(&log);
    const int id = factory.addPort(0, "Synth");
    auto port = factory.create<TMidiOutputBase>();

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
    EXPECT_EQ(log.take(), Lines{"open Synth"});
}

TEST(MidiPort, keepsItsOwnCopyOfANewDescriptor) {
    TestMidiFactory factory;
    factory.addPort(1, "Keys");
    auto port = factory.create<TMidiInputBase>();
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
    auto out = factory.create<TMidiOutputBase>();

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

    const auto sent = factory.sentMessages(id);
    ASSERT_EQ(sent.size(), 4u);
    EXPECT_FALSE(sent[0].viaLong);
    EXPECT_TRUE(sent[3].viaLong);
    EXPECT_EQ(sent[0].time, 500u);
    EXPECT_EQ(sent[3].time, 520u);
    EXPECT_EQ(factory.takeSent(id),
              (std::vector<Bytes>{{0x90, 0x40, 0x7F}, {0xC0, 0x05}, {0xF8}, {0xF0, 0x01, 0xF7}}));
}
