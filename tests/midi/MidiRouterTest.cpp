#include "midi/MidiRouter.h"
#include "midi/MidiAlias.h"
#include "tests/midi/support/MidiManagerFixture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

using namespace Lk;
using Bytes = std::vector<unsigned char>;

namespace {

class DataRecorder : public MidiManagerDataListener {
public:
    void OnMidiMessage(int port, unsigned long long, const unsigned char* data, int length,
                       int& handled) override {
        ports.push_back(port);
        messages.emplace_back(data, data + length);
        handled = claim;
    }
    std::vector<int> ports;
    std::vector<Bytes> messages;
    int claim = 0;
};

class RouteCounter : public TMidiRouteChangeListener {
public:
    void OnMidiRouteListChanged() override { ++calls; }
    int calls = 0;
};

// "MIDI Input" on Keys routed to "MIDI Thru" on Synth, both open.
class MidiThruTest : public MidiManagerTestBase {
protected:
    void SetUp() override {
        MidiManagerTestBase::SetUp();
        keys = plug(1, "Keys");
        synth = plug(0, "Synth");
        aliases = TMidiAliasManager::instance();
        input = aliases->GetAliasByName("MIDI Input", atIn, 1, -1);
        thru = aliases->GetAliasByName("MIDI Thru", atOut, 1, -1);
        aliases->SetAliasDevice(input, "Keys");
        aliases->SetAliasDevice(thru, "Synth");
        ASSERT_GE(TMidiRouter::instance()->AddRoute(input, thru), 0);
        ASSERT_EQ(manager->Open(input->userID, 1, nullptr), 1);
        ASSERT_EQ(manager->Open(thru->userID, 0, nullptr), 1);
        manager->SetDataListener(&data);
    }

    std::vector<SentMidiMessage> sent() {
        auto messages = factory->sentMessages(synth);
        factory->clearSent(synth);
        return messages;
    }

    int keys = 0;
    int synth = 0;
    TMidiAliasManager* aliases = nullptr;
    TMidiAlias* input = nullptr;
    TMidiAlias* thru = nullptr;
    DataRecorder data;
};

} // namespace

TEST_F(MidiThruTest, everyMessageReachesTheListenerAndTheThruPortWithItsOwnLength) {
    factory->feed(keys, {0x90, 0x40, 0x7F, 0xC2, 0x05, 0xF8});
    factory->feed(keys, Bytes{0xF0, 0x01, 0x02, 0xF7});
    EXPECT_EQ(
        data.messages,
        (std::vector<Bytes>{{0x90, 0x40, 0x7F}, {0xC2, 0x05}, {0xF8}, {0xF0, 0x01, 0x02, 0xF7}}));
    EXPECT_EQ(data.ports, (std::vector<int>{0, 0, 0, 0}));
    const auto messages = sent();
    ASSERT_EQ(messages.size(), 4u);
    EXPECT_EQ(messages[0].bytes, (Bytes{0x90, 0x40, 0x7F}));
    EXPECT_FALSE(messages[0].viaLong);
    EXPECT_EQ(messages[1].bytes, (Bytes{0xC2, 0x05}));
    EXPECT_FALSE(messages[1].viaLong);
    EXPECT_EQ(messages[3].bytes, (Bytes{0xF0, 0x01, 0x02, 0xF7}));
    EXPECT_TRUE(messages[3].viaLong);
}

TEST_F(MidiThruTest, partialMessagesAreForwardedUnpaddedWithSendLong) {
    const unsigned char partial[] = {0xB0, 0x07};
    TMidiAliasList list;
    list.Add(thru);
    EXPECT_EQ(manager->SendMessageToAliasList(list, partial, 2), 1);
    const auto messages = sent();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].bytes, (Bytes{0xB0, 0x07}));
    EXPECT_TRUE(messages[0].viaLong);
}

TEST_F(MidiThruTest, claimedSuspendedOrClosedMeansNothingIsForwarded) {
    data.claim = 1;
    factory->feed(keys, {0x90, 0x40, 0x7F});
    EXPECT_EQ(data.messages.size(), 1u);
    EXPECT_TRUE(sent().empty());

    data.claim = 0;
    manager->SetSuspended(1);
    factory->feed(keys, {0x90, 0x41, 0x7F});
    EXPECT_EQ(data.messages.size(), 1u);
    EXPECT_TRUE(sent().empty());
    manager->SetSuspended(0);

    manager->Close(thru->userID, 0, 0);
    TMidiAliasList list;
    list.Add(thru);
    const unsigned char note[] = {0x90, 0x42, 0x7F};
    EXPECT_EQ(manager->SendMessageToAliasList(list, note, 3), 0);
    factory->feed(keys, {0x90, 0x42, 0x7F});
    EXPECT_EQ(data.messages.size(), 2u);
    EXPECT_TRUE(sent().empty());
}

TEST_F(MidiThruTest, aliasesFollowTheirPortNameAndRoutesFollowTheAliases) {
    const int pads = plug(0, "Pads");
    manager->Open(manager->GetDevIndex("Pads", 0), 0, nullptr);
    aliases->SetAliasDevice(thru, "Pads");
    EXPECT_EQ(thru->userID, manager->GetDevIndex("Pads", 0));
    factory->feed(keys, {0xC0, 0x01});
    EXPECT_TRUE(sent().empty());
    EXPECT_EQ(factory->sentMessages(pads).size(), 1u);

    // Bound to a name no port has: unresolved, nothing forwarded.
    aliases->SetAliasDevice(thru, "Nothing");
    EXPECT_EQ(thru->userID, -1);
    factory->feed(keys, {0xC0, 0x02});
    EXPECT_EQ(factory->sentMessages(pads).size(), 1u);

    // Aliases match port names ignoring case.
    aliases->SetAliasDevice(thru, "synth");
    EXPECT_EQ(thru->userID, manager->GetDevIndexForAliasDevice("synth", 0));
    EXPECT_EQ(manager->GetDevIndex("synth", 0), -1);
    factory->feed(keys, {0xC0, 0x03});
    EXPECT_EQ(sent().size(), 1u);
}

TEST_F(MidiThruTest, removingTheOutputAliasDisablesTheRouteOnce) {
    RouteCounter routes;
    TMidiRouter::instance()->AddRouteChangeListener(&routes);
    EXPECT_EQ(TMidiRouter::instance()->AddRoute(input, thru), -1);
    EXPECT_EQ(TMidiRouter::instance()->AddRoute(thru, input), -1);
    EXPECT_EQ(routes.calls, 0);

    aliases->RemoveAlias(aliases->IndexOf("MIDI Thru", atOut));
    EXPECT_EQ(routes.calls, 1);
    factory->feed(keys, {0x90, 0x40, 0x7F});
    EXPECT_TRUE(sent().empty());
    TMidiAliasList out;
    TMidiRouter::instance()->GetRoutes().GetOutAliasesByInUserID(input->userID, out);
    EXPECT_EQ(out.getCount(), 0);

    // A new alias of the same name does not revive the route.
    TMidiAlias* again = aliases->GetAliasByName("MIDI Thru", atOut, 1, -1);
    aliases->SetAliasDevice(again, "Synth");
    factory->feed(keys, {0x90, 0x40, 0x00});
    EXPECT_TRUE(sent().empty());
    TMidiRouter::instance()->RemoveRouteChangeListener(&routes);
}

TEST_F(MidiThruTest, routedOutputsAreListedOncePerPortInRouteOrder) {
    TMidiAlias* second = aliases->GetAliasByName("Second", atOut, 1, 0);
    TMidiAlias* otherIn = aliases->GetAliasByName("Other In", atIn, 1, 0);
    aliases->SetAliasDevice(otherIn, "Keys");
    TMidiRouter* router = TMidiRouter::instance();
    router->AddRoute(input, second);
    router->AddRoute(otherIn, thru);
    TMidiAliasList out;
    router->GetRoutes().GetOutAliasesByInUserID(input->userID, out);
    ASSERT_EQ(out.getCount(), 2);
    EXPECT_EQ(out[0], thru);
    EXPECT_EQ(out[1], second);
    router->GetRoutes().GetOutAliasesByInUserID(5, out);
    EXPECT_EQ(out.getCount(), 0);
    router->GetRoutes().GetOutAliasesByInUserID(-1, out);
    EXPECT_EQ(out.getCount(), 0);
}

namespace {

// The counters as one comparable row: received, forwarded, not forwarded (messages, bytes).
std::vector<uint64_t> counts(const MidiThruStats& s) {
    return {s.receivedMessages, s.receivedBytes,        s.forwardedMessages,
            s.forwardedBytes,   s.notForwardedMessages, s.notForwardedBytes};
}

Bytes systemExclusive(size_t length) {
    Bytes b(length, 0x11);
    b.front() = 0xF0;
    b.back() = 0xF7;
    return b;
}

} // namespace

TEST_F(MidiThruTest, countersAddUpAMixOfRunningStatusRealTimeAndChunkedSystemExclusive) {
    EXPECT_EQ(counts(manager->GetThruStats()), (std::vector<uint64_t>{0, 0, 0, 0, 0, 0}));
    // Running status comes out whole; Active Sensing is dropped by the input, the clock not.
    factory->feed(keys, {0x90, 0x40, 0x7F, 0x41, 0x00, 0xF8, 0xFE, 0xC2, 0x05});
    ASSERT_EQ(data.messages.size(), 4u);
    EXPECT_EQ(data.messages[1], (Bytes{0x90, 0x41, 0x00}));
    // 5000 bytes in packets of 100 arrive as chunks of 2048, 2048 and 904.
    factory->feed(keys, systemExclusive(5000), 100);
    ASSERT_EQ(data.messages.size(), 7u);

    EXPECT_EQ(counts(manager->GetThruStats()), (std::vector<uint64_t>{7, 5009, 7, 5009, 0, 0}));
    const SentMidiTotals sent = factory->sentTotals(synth);
    EXPECT_EQ(sent.messages, 7u);
    EXPECT_EQ(sent.bytes, 5009u);
}

TEST_F(MidiThruTest, countersTellForwardedFromUnforwardedAndLeaveUnroutedAndClaimedOut) {
    manager->Close(thru->userID, 0, 0);
    factory->feed(keys, {0xC0, 0x01});
    EXPECT_EQ(counts(manager->GetThruStats()), (std::vector<uint64_t>{1, 2, 0, 0, 1, 2}));

    manager->Open(thru->userID, 0, nullptr);
    factory->feed(keys, {0xC0, 0x02});
    EXPECT_EQ(counts(manager->GetThruStats()), (std::vector<uint64_t>{2, 4, 1, 2, 1, 2}));

    // Thru bound to a port that is not there: routed, so not forwarded.
    aliases->SetAliasDevice(thru, "Nothing");
    factory->feed(keys, {0x90, 0x40, 0x7F});
    EXPECT_EQ(counts(manager->GetThruStats()), (std::vector<uint64_t>{3, 7, 1, 2, 2, 5}));
    aliases->SetAliasDevice(thru, "Synth");

    data.claim = 1;
    factory->feed(keys, {0x90, 0x40, 0x00});
    data.claim = 0;
    manager->SetSuspended(1);
    factory->feed(keys, {0x90, 0x41, 0x00});
    manager->SetSuspended(0);
    const int pads = plug(1, "Pads"); // no route starts there
    ASSERT_EQ(manager->Open(manager->GetDevIndex("Pads", 1), 1, nullptr), 1);
    factory->feed(pads, {0xF0, 0x01, 0xF7});
    EXPECT_EQ(counts(manager->GetThruStats()), (std::vector<uint64_t>{5, 13, 1, 2, 2, 5}));
}

TEST_F(MidiThruTest, aMessageTakenByTwoOutputsIsForwardedOnce) {
    const int pads = plug(0, "Pads");
    TMidiAlias* second = aliases->GetAliasByName("Second", atOut, 1, 0);
    aliases->SetAliasDevice(second, "Pads");
    TMidiRouter::instance()->AddRoute(input, second);
    ASSERT_EQ(manager->Open(second->userID, 0, nullptr), 1);
    factory->feed(keys, {0x90, 0x40, 0x7F});
    manager->Close(thru->userID, 0, 0); // one open output is enough
    factory->feed(keys, {0x80, 0x40, 0x00});
    EXPECT_EQ(counts(manager->GetThruStats()), (std::vector<uint64_t>{2, 6, 2, 6, 0, 0}));
    EXPECT_EQ(factory->sentCount(pads), 2u);
    EXPECT_EQ(factory->sentCount(synth), 1u);
}

TEST_F(MidiThruTest, countersStayExactAndOrderedWhileTwoInputsAreFedAtOnce) {
    // Pads feeds an output that stays closed.
    const int pads = plug(1, "Pads");
    plug(0, "Closed");
    TMidiAlias* padsIn = aliases->GetAliasByName("Pads In", atIn, 1, 0);
    TMidiAlias* closedOut = aliases->GetAliasByName("Closed Out", atOut, 1, 0);
    aliases->SetAliasDevice(padsIn, "Pads");
    aliases->SetAliasDevice(closedOut, "Closed");
    TMidiRouter::instance()->AddRoute(padsIn, closedOut);
    ASSERT_EQ(manager->Open(padsIn->userID, 1, nullptr), 1);
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
    EXPECT_EQ(counts(manager->GetThruStats()),
              (std::vector<uint64_t>{2 * n, 5 * n, n, 3 * n, n, 2 * n}));
}
