// The program's thru: what the inputs and our own virtual input receive, routed by the
// aliases to the outputs, and the counters that watch it.
#include "tests/midi/support/MidiManagerFixture.h"
#include "tests/support/MidiBytes.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

using namespace Lk;
using dokatest::Bytes;
using Messages = std::vector<Bytes>;
using Counts = std::vector<uint64_t>;
using Lines = std::vector<std::string>;

namespace {

const char* const kVirtualName = "DOKA Display";

// "MIDI Input" on Keys routed to "MIDI Thru" on Synth, both open.
class MidiThruTest : public MidiManagerFixture {
protected:
    void SetUp() override {
        MidiManagerFixture::SetUp();
        routeThru();
    }

    // The counters as one row: received, forwarded, not forwarded (messages, bytes each).
    Counts counts() {
        const MidiThruStats s = manager->GetThruStats();
        return {s.receivedMessages, s.receivedBytes,        s.forwardedMessages,
                s.forwardedBytes,   s.notForwardedMessages, s.notForwardedBytes};
    }
    // Our own input, taking the path of "MIDI Input".
    int openVirtual() {
        OxStringList errors;
        const int opened = manager->OpenVirtualInput(kVirtualName, input, &errors);
        EXPECT_EQ(errors.list.getCount(), 0);
        return opened;
    }
    int feedVirtual(const Bytes& bytes) {
        return factory->feed(factory->virtualInputId(kVirtualName), bytes);
    }
};

// The same thru with our own input beside Keys: what other programs send takes its path.
using VirtualInput = MidiThruTest;

} // namespace

TEST_F(MidiThruTest, everyMessageReachesTheListenerAndTheThruPortWhole) {
    // Active Sensing is dropped by the input; 5000 bytes of System Exclusive come in chunks.
    factory->feed(keys, {0x90, 0x40, 0x7F, 0x41, 0x00, 0xFE, 0xC2, 0x05});
    factory->feed(keys, dokatest::sysex(5000), 100);
    const std::vector<ReceivedMessage> received = data.snapshot();
    const std::vector<SentMidiMessage> sent = factory->sentMessages(synth);
    ASSERT_EQ(received.size(), 6u);
    ASSERT_EQ(sent.size(), received.size());
    for (size_t i = 0; i < sent.size(); ++i) {
        EXPECT_EQ(received[i].port, 0);
        EXPECT_EQ(sent[i].bytes, received[i].bytes) << i;
        EXPECT_EQ(sent[i].viaLong, i >= 3) << i; // System Exclusive with SendLong
    }
    EXPECT_EQ(counts(), (Counts{6, 5008, 6, 5008, 0, 0}));
}

TEST_F(MidiThruTest, routesFollowTheAliasesAndTheAliasesTheirPortNames) {
    const int pads = plug(0, "Pads");
    manager->Open(indexOf("Pads", 0), 0, nullptr);
    aliases->SetAliasDevice(thru, "Pads");
    EXPECT_EQ(thru->userID, indexOf("Pads", 0));
    factory->feed(keys, {0xC0, 0x01});
    EXPECT_TRUE(factory->takeSent(synth).empty());
    EXPECT_EQ(factory->takeSent(pads).size(), 1u);

    // Aliases match port names ignoring case.
    aliases->SetAliasDevice(thru, "synth");
    factory->feed(keys, {0xC0, 0x03});
    EXPECT_EQ(factory->takeSent(synth).size(), 1u);

    // A route is made once; removing its output alias ends it, and a new alias of the same
    // name does not bring it back.
    EXPECT_EQ(TMidiRouter::instance()->AddRoute(input, thru), -1);
    EXPECT_EQ(TMidiRouter::instance()->AddRoute(thru, input), -1);
    aliases->RemoveAlias(aliases->IndexOf("MIDI Thru", atOut));
    openAlias("MIDI Thru", atOut, "Synth");
    factory->feed(keys, {0x90, 0x40, 0x00});
    EXPECT_TRUE(factory->takeSent(synth).empty());
}

TEST_F(MidiThruTest, suspendedAndUnroutedInputIsNotForwardedAndCountedApart) {
    // Thru closed, or bound to a port that is not there: routed, so counted as not forwarded.
    manager->Close(thru->userID, 0, 0);
    factory->feed(keys, {0xC0, 0x01});
    EXPECT_EQ(counts(), (Counts{1, 2, 0, 0, 1, 2}));
    manager->Open(thru->userID, 0, nullptr);
    factory->feed(keys, {0xC0, 0x02});
    EXPECT_EQ(counts(), (Counts{2, 4, 1, 2, 1, 2}));
    aliases->SetAliasDevice(thru, "Nothing");
    EXPECT_EQ(thru->userID, -1);
    factory->feed(keys, {0x90, 0x40, 0x7F});
    EXPECT_EQ(counts(), (Counts{3, 7, 1, 2, 2, 5}));
    aliases->SetAliasDevice(thru, "Synth");
    EXPECT_EQ(factory->takeSent(synth), (Messages{{0xC0, 0x02}}));

    // Suspended: not even delivered.
    manager->SetSuspended(1);
    factory->feed(keys, {0x90, 0x41, 0x00});
    manager->SetSuspended(0);
    factory->feed(keys, {0x90, 0x42, 0x00});
    EXPECT_EQ(data.size(), 4u);
    EXPECT_EQ(factory->takeSent(synth), (Messages{{0x90, 0x42, 0x00}}));
    // Input without a route is received only.
    const int pads = plug(1, "Pads");
    ASSERT_EQ(manager->Open(indexOf("Pads", 1), 1, nullptr), 1);
    factory->feed(pads, {0xF0, 0x01, 0xF7});
    EXPECT_EQ(counts(), (Counts{5, 13, 2, 5, 2, 5}));
}

// Each output alias takes a message once, however many routes lead to it.
TEST_F(MidiThruTest, aMessageTakenByTwoOutputsIsForwardedOnce) {
    const int pads = plug(0, "Pads");
    TMidiRouter* router = TMidiRouter::instance();
    router->AddRoute(input, openAlias("Second", atOut, "Pads"));
    router->AddRoute(openAlias("Keys Too", atIn, "Keys"), thru);
    factory->feed(keys, {0x90, 0x40, 0x7F});
    manager->Close(thru->userID, 0, 0); // one open output is enough
    factory->feed(keys, {0x80, 0x40, 0x00});
    EXPECT_EQ(counts(), (Counts{2, 6, 2, 6, 0, 0}));
    EXPECT_EQ(factory->takeSent(pads).size(), 2u);
    EXPECT_EQ(factory->takeSent(synth).size(), 1u);
}

TEST_F(MidiThruTest, countersStayExactAndOrderedWhileTwoInputsAreFedAtOnce) {
    // Pads feeds an output that stays closed.
    const int pads = plug(1, "Pads");
    plug(0, "Closed");
    TMidiAlias* closedOut = aliases->GetAliasByName("Closed Out", atOut, 1, 0);
    aliases->SetAliasDevice(closedOut, "Closed");
    TMidiRouter::instance()->AddRoute(openAlias("Pads In", atIn, "Pads"), closedOut);
    manager->SetDataListener(nullptr);
    factory->keepSentMessages(false);

    const int rounds = 20000;
    std::atomic<bool> feeding{true};
    std::atomic<int> disorder{0};
    std::thread reader([&] {
        while (feeding.load()) {
            const MidiThruStats s = manager->GetThruStats();
            if (s.forwardedMessages + s.notForwardedMessages > s.receivedMessages)
                ++disorder;
        }
    });
    std::thread keysFeeder([&] {
        for (int i = 0; i < rounds; ++i)
            factory->feed(keys, {0x90, 0x40, 0x7F});
    });
    std::thread padsFeeder([&] {
        for (int i = 0; i < rounds; ++i)
            factory->feed(pads, {0xC0, 0x01});
    });
    keysFeeder.join();
    padsFeeder.join();
    feeding = false;
    reader.join();

    EXPECT_EQ(disorder.load(), 0);
    const uint64_t n = rounds;
    EXPECT_EQ(counts(), (Counts{2 * n, 5 * n, n, 3 * n, n, 2 * n}));
}

// Without the module, with "MIDI Input" bound to no port, it is the app panel's case.
TEST_F(VirtualInput, whatOtherProgramsSendIsParsedAndForwardedInOrderWithTheModulesInput) {
    const int inputs = manager->GetDevCount(1);
    ASSERT_EQ(openVirtual(), 1);
    // Our own port is no device to choose.
    EXPECT_EQ(manager->GetDevCount(1), inputs);
    factory->feed(keys, {0x90, 0x3C, 0x64});
    ASSERT_EQ(feedVirtual({0x80, 0x3C, 0x00, 0xFE, 0xF0, 0x7D, 0x01, 0xF7}), 1);
    factory->feed(keys, {0xB0, 0x07, 0x64});
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
    factory->clearSent(synth);

    // A route added while it is open is followed too.
    const int pads = plug(0, "Pads");
    ASSERT_GE(TMidiRouter::instance()->AddRoute(input, openAlias("Extra", atOut, "Pads")), 0);
    feedVirtual({0x90, 0x42, 0x7F});
    EXPECT_EQ(factory->takeSent(synth), (Messages{{0x90, 0x42, 0x7F}}));
    EXPECT_EQ(factory->takeSent(pads), (Messages{{0x90, 0x42, 0x7F}}));
}

TEST_F(VirtualInput, aBackendWithoutOwnPortsOrAFailedOpenIsReported) {
    factory->offerVirtualInputs(false);
    OxStringList errors;
    EXPECT_EQ(manager->OpenVirtualInput(kVirtualName, input, &errors), 0);
    EXPECT_EQ(errors.list.getCount(), 1);
    EXPECT_TRUE(log.take().empty());

    factory->offerVirtualInputs(true, "Port busy");
    errors.clear(0);
    EXPECT_EQ(manager->OpenVirtualInput(kVirtualName, input, &errors), 0);
    const std::string couldNot = "MIDI input \"DOKA Display\" could not be offered to other "
                                 "programs.";
    EXPECT_EQ(errors.getText().c_str(), "Port busy\n" + couldNot + "\n");
    // Without a list the control listeners are told, with the backend's reason.
    EXPECT_EQ(manager->OpenVirtualInput(kVirtualName, input, nullptr), 0);
    EXPECT_EQ(log.take(), Lines{"error -2 1 " + couldNot + "\nPort busy"});
    EXPECT_EQ(manager->IsVirtualInputOpen(), 0);
}

// Each open replaces the port open before; nothing arrives after a close.
TEST_F(VirtualInput, openingAgainReplacesThePortAndClosingEndsDeliveryWhileAProgramSends) {
    ASSERT_EQ(openVirtual(), 1);
    const int first = factory->virtualInputId(kVirtualName);
    for (int round = 0; round < 20; ++round) {
        ASSERT_EQ(openVirtual(), 1);
        const int id = factory->virtualInputId(kVirtualName);
        EXPECT_EQ(factory->openPortObjects(id), 1);
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
        EXPECT_EQ(factory->openPortObjects(id), 0);
        data.clear();
    }
    EXPECT_EQ(factory->openPortObjects(first), 0);
    EXPECT_EQ(manager->IsVirtualInputOpen(), 0);
    manager->CloseVirtualInput(); // closing again is harmless
    EXPECT_TRUE(log.take().empty());
}
