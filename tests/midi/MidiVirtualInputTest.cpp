#include "tests/midi/support/MidiManagerFixture.h"
#include "tests/support/MidiBytes.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

using namespace Lk;
using dokatest::Bytes;
using Messages = std::vector<Bytes>;
using Lines = std::vector<std::string>;

namespace {

const char* const kVirtualName = "DOKA Display";

Lines lines(const OxStringList& list) {
    Lines out;
    for (const OxString& line : list.list)
        out.push_back(line.c_str());
    return out;
}

// "MIDI Input" bound to the module, which is not plugged in, and routed to "MIDI Thru" on
// Synth, which is open: the program as it runs without its module.
class MidiVirtualInputTest : public MidiManagerFixture {
protected:
    void SetUp() override {
        MidiManagerFixture::SetUp();
        synth = plug(0, "Synth");
        routeThru("Module", "Synth");
    }

    int openVirtual() {
        OxStringList errors;
        const int opened = manager->OpenVirtualInput(kVirtualName, input, &errors);
        EXPECT_TRUE(lines(errors).empty());
        return opened;
    }
    int feedVirtual(const Bytes& bytes) {
        return factory->feed(factory->virtualInputId(kVirtualName), bytes);
    }

    int synth = 0;
};

} // namespace

TEST_F(MidiVirtualInputTest, whatOtherProgramsSendTakesTheModulesPathBesideTheModule) {
    const int inputs = manager->GetDevCount(1);
    ASSERT_EQ(openVirtual(), 1);
    EXPECT_EQ(manager->IsVirtualInputOpen(), 1);
    // Our own port is no device to choose.
    EXPECT_EQ(manager->GetDevCount(1), inputs);
    EXPECT_EQ(indexOf(kVirtualName, 1), -1);
    EXPECT_EQ(input->userID, -1);

    // Parsed as the module's input, delivered and forwarded in order with the module's own.
    const int module = plug(1, "Module");
    ASSERT_EQ(manager->Open(input->userID, 1, nullptr), 1);
    factory->feed(module, {0x90, 0x3C, 0x64});
    ASSERT_EQ(feedVirtual({0x80, 0x3C, 0x00, 0xFE, 0xF0, 0x7D, 0x01, 0xF7}), 1);
    factory->feed(module, {0xB0, 0x07, 0x64});
    const Messages expected{
        {0x90, 0x3C, 0x64}, {0x80, 0x3C, 0x00}, {0xF0, 0x7D, 0x01, 0xF7}, {0xB0, 0x07, 0x64}};
    std::vector<int> ports;
    for (const ReceivedMessage& message : data.snapshot())
        ports.push_back(message.port);
    const int v = MidiManager::VIRTUAL_INPUT_INDEX;
    EXPECT_EQ(ports, (std::vector<int>{input->userID, v, v, input->userID}));
    EXPECT_EQ(data.takeBytes(), expected);
    const auto sent = factory->sentMessages(synth);
    ASSERT_EQ(sent.size(), expected.size());
    EXPECT_TRUE(sent[2].viaLong && !sent[1].viaLong); // by length, as the module's input
    EXPECT_EQ(factory->takeSent(synth), expected);
}

TEST_F(MidiVirtualInputTest, followsTheRoutesOfItsAliasTheListenersClaimAndTheSuspension) {
    ASSERT_EQ(openVirtual(), 1);
    const int pads = plug(0, "Pads");
    manager->Open(indexOf("Pads", 0), 0, nullptr);
    aliases->SetAliasDevice(thru, "Pads");
    feedVirtual({0x90, 0x41, 0x7F});
    EXPECT_TRUE(factory->takeSent(synth).empty());
    EXPECT_EQ(factory->takeSent(pads), (Messages{{0x90, 0x41, 0x7F}}));

    // A second route from the alias is followed too.
    ASSERT_GE(TMidiRouter::instance()->AddRoute(input, openAlias("Extra", atOut, "Synth")), 0);
    feedVirtual({0x90, 0x42, 0x7F});
    EXPECT_EQ(factory->takeSent(synth), (Messages{{0x90, 0x42, 0x7F}}));
    EXPECT_EQ(factory->takeSent(pads), (Messages{{0x90, 0x42, 0x7F}}));

    data.claim = 1;
    feedVirtual({0x90, 0x43, 0x7F});
    data.claim = 0;
    manager->SetSuspended(1);
    feedVirtual({0x90, 0x44, 0x7F});
    EXPECT_EQ(data.size(), 3u);
    EXPECT_TRUE(factory->takeSent(synth).empty());
    EXPECT_TRUE(factory->takeSent(pads).empty());
}

TEST_F(MidiVirtualInputTest, closeEndsDeliveryAndOpeningAgainReplacesThePort) {
    ASSERT_EQ(openVirtual(), 1);
    const int first = factory->virtualInputId(kVirtualName);
    ASSERT_EQ(openVirtual(), 1);
    const int second = factory->virtualInputId(kVirtualName);
    EXPECT_NE(first, second);
    EXPECT_EQ(factory->openPortObjects(first), 0);
    EXPECT_EQ(factory->openPortObjects(second), 1);

    manager->CloseVirtualInput();
    EXPECT_EQ(manager->IsVirtualInputOpen(), 0);
    EXPECT_EQ(factory->openPortObjects(second), 0);
    EXPECT_EQ(feedVirtual({0x90, 0x40, 0x7F}), 0);
    EXPECT_EQ(data.size(), 0u);
    manager->CloseVirtualInput(); // closing again is harmless
    EXPECT_TRUE(log.take().empty());
}

TEST_F(MidiVirtualInputTest, aBackendWithoutOwnPortsOrAFailedOpenIsReported) {
    factory->offerVirtualInputs(false);
    OxStringList errors;
    EXPECT_EQ(manager->OpenVirtualInput(kVirtualName, input, &errors), 0);
    EXPECT_EQ(lines(errors), Lines{"MIDI input \"DOKA Display\" cannot be offered to other "
                                   "programs: the MIDI system here has no ports of its own."});
    EXPECT_TRUE(log.take().empty());

    factory->offerVirtualInputs(true, "Port busy");
    errors.clear(0);
    EXPECT_EQ(manager->OpenVirtualInput(kVirtualName, input, &errors), 0);
    const std::string couldNot = "MIDI input \"DOKA Display\" could not be offered to other "
                                 "programs.";
    EXPECT_EQ(lines(errors), (Lines{"Port busy", couldNot}));
    // Without a list the control listeners are told, with the backend's reason.
    EXPECT_EQ(manager->OpenVirtualInput(kVirtualName, input, nullptr), 0);
    EXPECT_EQ(log.take(), Lines{"error -2 1 " + couldNot + "\nPort busy"});
    EXPECT_EQ(manager->IsVirtualInputOpen(), 0);
}

TEST_F(MidiVirtualInputTest, closingWhileAnotherProgramSendsNeverDeliversAfterTheClose) {
    for (int round = 0; round < 20; ++round) {
        ASSERT_EQ(openVirtual(), 1);
        const int id = factory->virtualInputId(kVirtualName);
        std::atomic<bool> stop{false};
        std::thread sender([&] {
            while (!stop.load())
                factory->feed(id, {0x90, 0x40, 0x7F, 0x80, 0x40, 0x00});
        });
        EXPECT_TRUE(data.waitForCount(1));
        manager->CloseVirtualInput();
        const size_t delivered = data.size();
        const size_t sent = factory->sentTotals(synth).messages;
        stop = true;
        sender.join();
        EXPECT_EQ(data.size(), delivered);
        EXPECT_EQ(factory->sentTotals(synth).messages, sent);
        data.clear();
        factory->clearSent(synth);
    }
}
