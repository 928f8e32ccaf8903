#include "midi/MidiAlias.h"
#include "midi/MidiRouter.h"
#include "tests/midi/support/MidiManagerFixture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

using namespace Lk;
using Bytes = std::vector<unsigned char>;

namespace {

const char* const kVirtualName = "DOKA Display";
const int kVirtual = MidiManager::VIRTUAL_INPUT_INDEX;

// Every message the application is given, with its port index; read on the test thread.
class DataLog : public MidiManagerDataListener {
public:
    void OnMidiMessage(int port, unsigned long long, const unsigned char* data, int length,
                       int& handled) override {
        std::lock_guard<std::mutex> hold(mutex);
        messages.emplace_back(port, Bytes(data, data + length));
        handled = claim.load();
    }
    std::vector<std::pair<int, Bytes>> take() {
        std::lock_guard<std::mutex> hold(mutex);
        return std::exchange(messages, {});
    }
    size_t count() {
        std::lock_guard<std::mutex> hold(mutex);
        return messages.size();
    }
    std::atomic<int> claim{0};

private:
    std::mutex mutex;
    std::vector<std::pair<int, Bytes>> messages;
};

std::vector<std::string> lines(const OxStringList& list) {
    std::vector<std::string> out;
    for (const OxString& line : list.list)
        out.push_back(line.c_str());
    return out;
}

// "MIDI Input" bound to the module, which is not plugged in, and routed to "MIDI Thru" on
// Synth, which is open: the program as it runs without its module.
class MidiVirtualInputTest : public MidiManagerTestBase {
protected:
    void SetUp() override {
        MidiManagerTestBase::SetUp();
        synth = plug(0, "Synth");
        aliases = TMidiAliasManager::instance();
        input = aliases->GetAliasByName("MIDI Input", atIn, 1, -1);
        thru = aliases->GetAliasByName("MIDI Thru", atOut, 1, -1);
        aliases->SetAliasDevice(input, "Module");
        aliases->SetAliasDevice(thru, "Synth");
        ASSERT_GE(TMidiRouter::instance()->AddRoute(input, thru), 0);
        ASSERT_EQ(manager->Open(thru->userID, 0, nullptr), 1);
        manager->SetDataListener(&data);
        log.take();
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
    std::vector<Bytes> sentTo(int id) {
        std::vector<Bytes> bytes;
        for (const SentMidiMessage& m : factory->sentMessages(id))
            bytes.push_back(m.bytes);
        factory->clearSent(id);
        return bytes;
    }

    int synth = 0;
    TMidiAliasManager* aliases = nullptr;
    TMidiAlias* input = nullptr;
    TMidiAlias* thru = nullptr;
    DataLog data;
};

} // namespace

TEST_F(MidiVirtualInputTest, whatOtherProgramsSendTakesTheModulesPathWithoutTheModule) {
    const int inputs = manager->GetDevCount(1);
    ASSERT_EQ(openVirtual(), 1);
    EXPECT_EQ(manager->IsVirtualInputOpen(), 1);
    // Our own port is no device to choose.
    EXPECT_EQ(manager->GetDevCount(1), inputs);
    EXPECT_EQ(indexOf(kVirtualName, 1), -1);
    EXPECT_EQ(input->userID, -1);

    // Active Sensing is dropped as it is from the module; Timing Clock passes.
    ASSERT_EQ(feedVirtual({0x90, 0x40, 0x7F, 0xFE, 0xF8, 0xF0, 0x7D, 0x01, 0xF7, 0xC0, 0x05}), 1);
    const std::vector<Bytes> expected = {
        {0x90, 0x40, 0x7F}, {0xF8}, {0xF0, 0x7D, 0x01, 0xF7}, {0xC0, 0x05}};
    const auto messages = data.take();
    ASSERT_EQ(messages.size(), expected.size());
    for (size_t i = 0; i < messages.size(); ++i) {
        EXPECT_EQ(messages[i].first, kVirtual);
        EXPECT_EQ(messages[i].second, expected[i]);
    }
    const auto sent = factory->sentMessages(synth);
    ASSERT_EQ(sent.size(), expected.size());
    for (size_t i = 0; i < sent.size(); ++i)
        EXPECT_EQ(sent[i].bytes, expected[i]);
    EXPECT_TRUE(sent[2].viaLong);
    EXPECT_FALSE(sent[3].viaLong);
}

TEST_F(MidiVirtualInputTest, moduleAndVirtualInputFeedTheSameThruPortSideBySide) {
    const int module = plug(1, "Module");
    ASSERT_GE(input->userID, 0);
    ASSERT_EQ(manager->Open(input->userID, 1, nullptr), 1);
    ASSERT_EQ(openVirtual(), 1);

    factory->feed(module, {0x90, 0x3C, 0x64});
    feedVirtual({0x80, 0x3C, 0x00});
    factory->feed(module, {0xB0, 0x07, 0x64});
    EXPECT_EQ(data.take(),
              (std::vector<std::pair<int, Bytes>>{{input->userID, {0x90, 0x3C, 0x64}},
                                                  {kVirtual, {0x80, 0x3C, 0x00}},
                                                  {input->userID, {0xB0, 0x07, 0x64}}}));
    EXPECT_EQ(sentTo(synth),
              (std::vector<Bytes>{{0x90, 0x3C, 0x64}, {0x80, 0x3C, 0x00}, {0xB0, 0x07, 0x64}}));
}

TEST_F(MidiVirtualInputTest, followsTheRoutesOfItsAliasAndTheListenersClaim) {
    ASSERT_EQ(openVirtual(), 1);
    const int pads = plug(0, "Pads");
    manager->Open(indexOf("Pads", 0), 0, nullptr);
    aliases->SetAliasDevice(thru, "Pads");
    feedVirtual({0x90, 0x41, 0x7F});
    EXPECT_TRUE(sentTo(synth).empty());
    EXPECT_EQ(sentTo(pads), (std::vector<Bytes>{{0x90, 0x41, 0x7F}}));

    // A second route from the alias is followed too.
    TMidiAlias* extra = aliases->GetAliasByName("Extra", atOut, 1, -1);
    aliases->SetAliasDevice(extra, "Synth");
    ASSERT_GE(TMidiRouter::instance()->AddRoute(input, extra), 0);
    feedVirtual({0x90, 0x42, 0x7F});
    EXPECT_EQ(sentTo(synth), (std::vector<Bytes>{{0x90, 0x42, 0x7F}}));
    EXPECT_EQ(sentTo(pads), (std::vector<Bytes>{{0x90, 0x42, 0x7F}}));

    data.claim = 1;
    feedVirtual({0x90, 0x43, 0x7F});
    EXPECT_EQ(data.count(), 3u);
    EXPECT_TRUE(sentTo(synth).empty());
    EXPECT_TRUE(sentTo(pads).empty());

    data.claim = 0;
    manager->SetSuspended(1);
    feedVirtual({0x90, 0x44, 0x7F});
    EXPECT_EQ(data.count(), 3u);
    EXPECT_TRUE(sentTo(pads).empty());
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
    EXPECT_EQ(data.count(), 0u);
    manager->CloseVirtualInput(); // closing again is harmless
    EXPECT_TRUE(log.take().empty());
}

TEST_F(MidiVirtualInputTest, aBackendWithoutOwnPortsOrAFailedOpenIsReported) {
    factory->offerVirtualInputs(false);
    OxStringList errors;
    EXPECT_EQ(manager->OpenVirtualInput(kVirtualName, input, &errors), 0);
    EXPECT_EQ(lines(errors), (std::vector<std::string>{
                                 "MIDI input \"DOKA Display\" cannot be offered to other "
                                 "programs: the MIDI system here has no ports of its own."}));
    EXPECT_TRUE(log.take().empty());

    factory->offerVirtualInputs(true, "Port busy");
    errors.clear(0);
    EXPECT_EQ(manager->OpenVirtualInput(kVirtualName, input, &errors), 0);
    EXPECT_EQ(
        lines(errors),
        (std::vector<std::string>{
            "Port busy", "MIDI input \"DOKA Display\" could not be offered to other programs."}));
    // Without a list the control listeners are told, with the backend's reason.
    EXPECT_EQ(manager->OpenVirtualInput(kVirtualName, input, nullptr), 0);
    EXPECT_EQ(log.take(), (std::vector<std::string>{
                              "error -2 1 MIDI input \"DOKA Display\" could not be offered to "
                              "other programs.\nPort busy"}));
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
        while (data.count() == 0)
            std::this_thread::yield();
        manager->CloseVirtualInput();
        const size_t delivered = data.count();
        const size_t sent = factory->sentCount(synth);
        stop = true;
        sender.join();
        EXPECT_EQ(data.count(), delivered);
        EXPECT_EQ(factory->sentCount(synth), sent);
        data.take();
        factory->clearSent(synth);
    }
}
