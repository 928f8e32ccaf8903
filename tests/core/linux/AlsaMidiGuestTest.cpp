// The ALSA backend against a real sequencer: run inside the guest, whose kernel has
// snd-seq-dummy (client 14) and snd-virmidi (clients 16 to 19, raw ends hw:0,0 to hw:0,3).
#include "core/linux/AlsaMidiFactory.h"
#include "core/linux/AlsaMidiOutput.h"
#include "core/linux/AlsaSequencer.h"
#include "midi/MidiInput.h"
#include "tests/core/linux/support/HelperClient.h"
#include "tests/core/linux/support/RawMidi.h"
#include "tests/midi/support/MessageRecorder.h"
#include "tests/support/MidiBytes.h"
#include "tests/support/Recorder.h"
#include "tests/support/ShutdownAtEnd.h"
#include "tests/support/WaitUntil.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

using namespace Lk;
using dokatest::Bytes;
using dokatest::sameBytes;
using dokatest::waitUntil;

namespace {

const char* const THROUGH = "Midi Through Port-0";
const char* const VIRMIDI_0 = "Virtual Raw MIDI 0-0 : VirMIDI 0-0"; // raw end hw:0,0
const char* const VIRMIDI_1 = "Virtual Raw MIDI 0-1 : VirMIDI 0-1"; // raw end hw:0,1
constexpr unsigned READABLE = HelperClient::READABLE;
constexpr unsigned WRITABLE = HelperClient::WRITABLE;

// What an input delivered. A slow one hands each message on after a millisecond, so that
// what arrives meanwhile waits in the sequencer.
class InputRecorder : public MessageRecorder {
public:
    explicit InputRecorder(bool slow = false) : slow(slow) {}
    void OnMidiDeviceMessage(TMidiInputBase* port, unsigned long long time,
                             const unsigned char* data, int length) override {
        if (slow)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        MessageRecorder::OnMidiDeviceMessage(port, time, data, length);
    }

private:
    const bool slow;
};

// Error texts that ports report to their factory's listener.
class ErrorRecorder : public MidiDeviceFactory::Listener, public dokatest::Recorder<std::string> {
public:
    void onMidiDeviceError(TMidiDeviceBase*, const OxString& message) override {
        add(message.c_str());
    }
    void onMidiDeviceOpen(TMidiDeviceBase*) override {}
    void onMidiDeviceClose(TMidiDeviceBase*) override {}
    void onMidiDeviceUnexpectedClose(TMidiDeviceBase*) override {}
};

constexpr unsigned long long PROMPTLY_NANOS = 2000000000ull; // only a fault shows beyond it

// A raw end leaves out a status byte that repeats the one before (running status): the
// tests send no two equal ones in a row, alternating Note On and Note Off.
unsigned char noteOnOrOff(int i, int channel) {
    return static_cast<unsigned char>((i % 2 == 0 ? 0x90 : 0x80) | channel);
}

// Splits what an output delivered into the notes on channel 2 and the rest; false when
// such a note came inside a System Exclusive message.
bool separateChannel2(const Bytes& stream, Bytes& rest, Bytes& channel2) {
    bool inSystemExclusive = false;
    for (size_t i = 0; i < stream.size(); ++i) {
        const unsigned char b = stream[i];
        if ((b == 0x91 || b == 0x81) && i + 2 < stream.size()) {
            if (inSystemExclusive)
                return false;
            channel2.insert(channel2.end(), stream.begin() + i, stream.begin() + i + 3);
            i += 2;
            continue;
        }
        if (b == 0xF0)
            inSystemExclusive = true;
        else if (b == 0xF7)
            inSystemExclusive = false;
        rest.push_back(b);
    }
    return true;
}

std::vector<std::string> names(const OxOwnedList<MidiDeviceDescriptor*>& list) {
    std::vector<std::string> out;
    for (const MidiDeviceDescriptor* d : list)
        out.push_back(d->GetName().c_str());
    return out;
}

const MidiDeviceDescriptor* find(const OxOwnedList<MidiDeviceDescriptor*>& list, const char* name) {
    for (const MidiDeviceDescriptor* d : list)
        if (d->GetName() == name)
            return d;
    return nullptr;
}

class AlsaGuest : public ::testing::Test {
protected:
    void SetUp() override {
        if (access("/dev/snd/seq", F_OK) != 0)
            GTEST_SKIP() << "no sequencer here: this test runs in the guest";
    }

    // A port object opened on the listed port of that name.
    template <class Port> std::unique_ptr<Port> open(int isInput, const char* name) {
        OxOwnedList<MidiDeviceDescriptor*> list;
        factory.GetDeviceList(isInput, list);
        const MidiDeviceDescriptor* d = find(list, name);
        EXPECT_NE(d, nullptr) << name;
        if (d == nullptr)
            return nullptr;
        std::unique_ptr<Port> port(static_cast<Port*>(factory.CreateDevice(d)));
        OxStringList errors;
        EXPECT_EQ(port->Open(&errors), 1) << errors.getText().c_str();
        return port;
    }

    AlsaMidiFactory factory;
};

} // namespace

TEST_F(AlsaGuest, listsKernelAndOtherProgramsPortsInClientOrderButNotOursOrPrivateOnes) {
    HelperClient helper("Helper Synth",
                        {{"Synth In", WRITABLE},
                         {"Synth Out", READABLE},
                         {"Hidden", READABLE | WRITABLE | SND_SEQ_PORT_CAP_NO_EXPORT}});
    ASSERT_GE(helper.clientId(), 128);
    snd_seq_t* ours;
    ASSERT_GE(snd_seq_open(&ours, "default", SND_SEQ_OPEN_DUPLEX, 0), 0);
    snd_seq_set_client_name(ours, "Same Process");
    snd_seq_create_simple_port(ours, "Mine", READABLE | WRITABLE, SND_SEQ_PORT_TYPE_MIDI_GENERIC);

    OxOwnedList<MidiDeviceDescriptor*> outputs;
    OxOwnedList<MidiDeviceDescriptor*> inputs;
    factory.GetDeviceList(0, outputs);
    factory.GetDeviceList(1, inputs);
    snd_seq_close(ours);
    // Trimmed names, by direction.
    std::vector<std::string> expected = {THROUGH, VIRMIDI_0, VIRMIDI_1,
                                         "Virtual Raw MIDI 0-2 : VirMIDI 0-2",
                                         "Virtual Raw MIDI 0-3 : VirMIDI 0-3"};
    expected.push_back("Helper Synth : Synth In");
    EXPECT_EQ(names(outputs), expected);
    expected.back() = "Helper Synth : Synth Out";
    EXPECT_EQ(names(inputs), expected);
    EXPECT_EQ(factory.GetNumDevs(0), outputs.getCount());
    EXPECT_EQ(factory.GetNumDevs(1), inputs.getCount());
    ASSERT_EQ(outputs.getCount(), 6);
    for (int i = 0; i < outputs.getCount(); ++i)
        EXPECT_EQ(outputs[i]->index, i);
    EXPECT_EQ(outputs[0]->address, packSeqAddress(14, 0));
    EXPECT_EQ(outputs[1]->address, packSeqAddress(16, 0));
    EXPECT_EQ(inputs[5]->address, packSeqAddress(helper.clientId(), 1));
    // Midi Through and programs have no card; the virmidi clients share one, each its own
    // interface.
    EXPECT_TRUE(outputs[0]->serial.isEmpty());
    EXPECT_TRUE(outputs[0]->interface.isEmpty());
    EXPECT_TRUE(inputs[5]->serial.isEmpty());
    for (int i = 1; i < 5; ++i) {
        EXPECT_EQ(outputs[i]->serial.length(), 8);
        EXPECT_STREQ(outputs[i]->serial.c_str(), outputs[1]->serial.c_str());
        EXPECT_STREQ(outputs[i]->serial.c_str(), inputs[i]->serial.c_str());
        EXPECT_STREQ(outputs[i]->interface.c_str(), inputs[i]->interface.c_str());
        if (i > 1) {
            EXPECT_STRNE(outputs[i]->interface.c_str(), outputs[i - 1]->interface.c_str());
        }
    }
}

TEST_F(AlsaGuest, equallyNamedPortsAreNumberedAndOpenedByTheirOwnAddress) {
    HelperClient first("Twin", {{"Keys", WRITABLE}});
    HelperClient second("Twin", {{"Keys", WRITABLE}});
    OxOwnedList<MidiDeviceDescriptor*> outputs;
    factory.GetDeviceList(0, outputs);
    const MidiDeviceDescriptor* one = find(outputs, "Twin : Keys");
    const MidiDeviceDescriptor* two = find(outputs, "Twin : Keys (2)");
    ASSERT_NE(one, nullptr);
    ASSERT_NE(two, nullptr);
    EXPECT_EQ(one->dupNumber, 1);
    EXPECT_EQ(two->address, packSeqAddress(second.clientId(), 0));

    // The first one goes: the second moves up the list, and still opens by its address.
    first.stop();
    std::unique_ptr<TMidiDeviceBase> stale(factory.CreateDevice(one));
    OxStringList errors;
    EXPECT_EQ(stale->Open(&errors), 0);
    ASSERT_EQ(errors.list.getCount(), 1);
    EXPECT_STREQ(errors.list[0].c_str(), "Cannot open MIDI output device \"Twin : Keys\":");
    std::unique_ptr<TMidiDeviceBase> moved(factory.CreateDevice(two));
    EXPECT_EQ(moved->Open(nullptr), 1);
    moved->Close();

    // An address that now belongs to a port of another name is not opened.
    MidiDeviceDescriptor wrong(*two);
    wrong.address = packSeqAddress(16, 0);
    std::unique_ptr<TMidiDeviceBase> other(factory.CreateDevice(&wrong));
    errors.clear(-1);
    EXPECT_EQ(other->Open(&errors), 0);
    EXPECT_FALSE(other->IsOpen());
    ASSERT_EQ(errors.list.getCount(), 1);
    EXPECT_STREQ(errors.list[0].c_str(), "Cannot open MIDI output device \"Twin : Keys (2)\":");
}

TEST_F(AlsaGuest, receivesChannelRealTimeAndSystemExclusiveInOrderWithReceiptTimes) {
    RawMidi raw("hw:0,1", false);
    InputRecorder recorder;
    auto input = open<TMidiInputBase>(1, VIRMIDI_1);
    ASSERT_TRUE(input);
    input->SetDataListener(&recorder);
    const Bytes sent = {0x90, 0x40, 0x7F, 0x80, 0x40, 0x00, 0xB0, 0x07, 0x64,
                        0xC0, 0x05, 0xE0, 0x00, 0x40, 0xF8, 0xFA, 0xF0, 0x01,
                        0x02, 0xF7, 0xF0, 0x7D, 0xF8, 0x10, 0x11, 0xF7, 0xFE};
    const std::vector<Bytes> expected = {{0x90, 0x40, 0x7F},
                                         {0x80, 0x40, 0x00},
                                         {0xB0, 0x07, 0x64},
                                         {0xC0, 0x05},
                                         {0xE0, 0x00, 0x40},
                                         {0xF8},
                                         {0xFA},
                                         {0xF0, 0x01, 0x02, 0xF7},
                                         {0xF8},
                                         {0xF0, 0x7D, 0x10, 0x11, 0xF7},
                                         {0xFE}};
    const unsigned long long before = alsaNanoTime();
    raw.write(sent.data(), sent.size());
    ASSERT_TRUE(recorder.waitForCount(expected.size(), 10000));
    const unsigned long long after = alsaNanoTime();
    const std::vector<ReceivedMessage> got = recorder.take();
    ASSERT_EQ(got.size(), expected.size());
    unsigned long long previous = before;
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].bytes, expected[i]) << "message " << i;
        EXPECT_GE(got[i].time, previous);
        EXPECT_LE(got[i].time, after);
        previous = got[i].time;
    }
    input->Close();
}

namespace {

// Counts the calls while a send waits, and stops waiting after a few.
class StopWaitingAfter : public TMidiOutWaitCallback {
public:
    explicit StopWaitingAfter(int calls) : limit(calls) {}
    void OnMidiOutWait(TMidiOutputBase*, int* keepWaiting) override {
        if (++calls >= limit)
            *keepWaiting = 0;
    }
    const int limit;
    int calls = 0;
};

} // namespace

TEST_F(AlsaGuest, sendsChannelRealTimeAndSystemExclusiveOfAnySizeByteExact) {
    RawMidi raw("hw:0,0", true);
    auto output = open<AlsaMidiOutput>(0, VIRMIDI_0);
    ASSERT_TRUE(output);
    output->setByteNanos(0); // no wire behind a virmidi port: no need to wait for one
    EXPECT_EQ(output->SendShort(0x90, 0x40, 0x7F), 1);
    EXPECT_EQ(output->SendShort(0xB0, 0x07, 0x64), 1);
    EXPECT_EQ(output->SendShort(0xC0, 0x05, 0x00), 1);
    EXPECT_EQ(output->SendShort(0xF8, 0x00, 0x00), 1);
    EXPECT_EQ(output->SendShort(0xE0 | (0x40u << 16)), 1);
    const unsigned char partial[] = {0xB0, 0x07};
    EXPECT_EQ(output->SendLong(partial, 2), 2);
    EXPECT_EQ(raw.read(14, 5000), (Bytes{0x90, 0x40, 0x7F, 0xB0, 0x07, 0x64, 0xC0, 0x05, 0xF8, 0xE0,
                                         0x00, 0x40, 0xB0, 0x07}));
    for (size_t size : {4, 5, 300, 2049, 65536, 1000000}) {
        const Bytes sysex = dokatest::sysex(size);
        EXPECT_EQ(output->SendLongWait(sysex.data(), static_cast<int>(size), nullptr),
                  static_cast<int>(size));
        EXPECT_TRUE(sameBytes(raw.read(size, 60000), sysex)) << size << " bytes";
    }

    // Faster than a wire, but too much to be queued at once: the send has to wait, asks its
    // callback until that stops waiting, and loses nothing.
    output->setByteNanos(20000);
    const Bytes sysex = dokatest::sysex(150000);
    StopWaitingAfter callback(3);
    EXPECT_EQ(output->SendLongWait(sysex.data(), static_cast<int>(sysex.size()), &callback),
              static_cast<int>(sysex.size()));
    EXPECT_EQ(callback.calls, 3);
    EXPECT_TRUE(sameBytes(raw.read(sysex.size(), 20000), sysex));
}

TEST_F(AlsaGuest, destinationVanishingWhileSendingGivesErrorTextWithoutHanging) {
    HelperClient sink("Sink", {{"In", WRITABLE}});
    ErrorRecorder listener;
    factory.setListener(&listener);
    auto output = open<AlsaMidiOutput>(0, "Sink : In");
    ASSERT_TRUE(output);
    // Paced at the wire rate this takes over a minute; the sequencer's queue fills long
    // before, and the port keeps the rest.
    const Bytes sysex = dokatest::sysex(200000);
    EXPECT_EQ(output->SendLong(sysex.data(), static_cast<int>(sysex.size())), 200000);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(output->QueuedLongMessages(), 1);
    sink.stop();
    // What was left for it is dropped, and the loss is told once.
    EXPECT_TRUE(waitUntil([&] { return output->QueuedLongMessages() == 0; }, 30000));
    EXPECT_TRUE(waitUntil([&] { return !listener.snapshot().empty(); }, 30000));
    EXPECT_EQ(output->SendShort(0x90, 0x40, 0x7F), 0);
    EXPECT_EQ(output->SendLong(sysex.data(), 100), 0);
    const std::vector<std::string> errors = listener.snapshot();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0], "Cannot send to MIDI output device \"Sink : In\": No such device");
    output->Close();
    factory.setListener(nullptr);
}

TEST_F(AlsaGuest, closingWhileMessagesArriveNeverFeedsAClosedPort) {
    RawMidi raw("hw:0,1", false);
    std::atomic<bool> running{true};
    std::thread traffic([&] {
        const unsigned char note[] = {0x90, 0x40, 0x7F, 0x80, 0x40, 0x00};
        while (running) {
            raw.write(note, sizeof note);
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
    });
    OxOwnedList<MidiDeviceDescriptor*> inputs;
    factory.GetDeviceList(1, inputs);
    const MidiDeviceDescriptor* d = find(inputs, VIRMIDI_1);
    ASSERT_NE(d, nullptr);
    InputRecorder recorder;
    int delivered = 0;
    for (int round = 0; round < 30; ++round) {
        std::unique_ptr<TMidiInputBase> input(
            static_cast<TMidiInputBase*>(factory.CreateDevice(d)));
        input->SetDataListener(&recorder);
        ASSERT_EQ(input->Open(nullptr), 1);
        recorder.waitForCount(1, 2000);
        input->Close();
        const size_t after = recorder.take().size();
        delivered += after > 0;
        // Nothing arrives once Close has returned.
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        EXPECT_TRUE(recorder.take().empty());
    }
    running = false;
    traffic.join();
    EXPECT_GT(delivered, 0);
}

// What the other side sends, or what is passed on to it, as soon as it sees our subscription
// must find our port open: watched from another thread while ports open again and again.
TEST_F(AlsaGuest, portsCountAsOpenBeforeTheOtherSideSeesTheirSubscription) {
    HelperClient device("Eager Box");
    ASSERT_TRUE(device.plug(0));
    const std::shared_ptr<AlsaSequencer> sequencer = AlsaSequencer::shared();
    ASSERT_TRUE(sequencer);
    for (const int isInput : {1, 0}) {
        OxOwnedList<MidiDeviceDescriptor*> list;
        factory.GetDeviceList(isInput, list);
        const MidiDeviceDescriptor* d = find(list, isInput ? "Eager Box : Out" : "Eager Box : In");
        ASSERT_NE(d, nullptr);
        std::unique_ptr<TMidiDeviceBase> port(factory.CreateDevice(d));
        snd_seq_port_info_t* info;
        snd_seq_port_info_alloca(&info);
        std::atomic<bool> stop{false};
        std::atomic<int> phase{0}; // odd while an open is under way
        std::atomic<int> seenSubscribedWhileClosed{0};
        std::thread watcher([&] {
            while (!stop) {
                const int before = phase;
                const bool closed = !port->IsOpen();
                if (snd_seq_get_any_port_info(sequencer->handle(), seqAddressClient(d->address),
                                              seqAddressPort(d->address), info) < 0)
                    continue;
                const int users = isInput ? snd_seq_port_info_get_read_use(info)
                                          : snd_seq_port_info_get_write_use(info);
                // Within one open, closed before the look at the subscription and after it.
                if (before % 2 == 1 && closed && users > 0 && !port->IsOpen() && phase == before)
                    ++seenSubscribedWhileClosed;
            }
        });
        for (int round = 0; round < 50; ++round) {
            ++phase;
            const int opened = port->Open(nullptr);
            ++phase;
            EXPECT_EQ(opened, 1);
            port->Close();
        }
        stop = true;
        watcher.join();
        EXPECT_EQ(seenSubscribedWhileClosed.load(), 0) << (isInput ? "input" : "output");
    }
}

TEST_F(AlsaGuest, closingAfterTheSourceVanishedStillDeliversWhatArrivedBefore) {
    HelperClient device("Vanishing Box");
    ASSERT_TRUE(device.plug(0));
    InputRecorder recorder(true);
    auto input = open<TMidiInputBase>(1, "Vanishing Box : Out");
    ASSERT_TRUE(input);
    input->SetDataListener(&recorder);
    Bytes sent;
    for (uint32_t n = 0; n < 300; ++n) {
        const Bytes message = HelperClient::streamMessage(n);
        sent.insert(sent.end(), message.begin(), message.end());
    }
    ASSERT_TRUE(device.send(sent));
    // Gone while most of it still waits for us; closed as the refresh closes it.
    ASSERT_TRUE(device.unplug());
    input->Close();
    EXPECT_TRUE(sameBytes(dokatest::joined(recorder.takeBytes()), sent));
}

TEST_F(AlsaGuest, aFloodFasterThanItIsReadIsReportedOnceAsAnOverrun) {
    HelperClient source("Flood", {{"Out", READABLE}});
    InputRecorder recorder(true);
    auto input = open<TMidiInputBase>(1, "Flood : Out");
    ASSERT_TRUE(input);
    input->SetDataListener(&recorder);
    testing::internal::CaptureStderr();
    constexpr size_t SIZE = 256 * 1024;
    const bool sent = source.send(dokatest::sysex(SIZE));
    input->Close();
    const std::string reported = testing::internal::GetCapturedStderr();
    ASSERT_TRUE(sent);
    // The sequencer threw events away: that is said, once for the whole burst.
    const std::string overrun = "MIDI input overrun";
    const size_t first = reported.find(overrun);
    EXPECT_NE(first, std::string::npos) << recorder.take().size() << " messages arrived";
    EXPECT_EQ(reported.find(overrun, first + 1), std::string::npos) << reported;
}

TEST_F(AlsaGuest, portsOfTwoCardsHaveTheirOwnSerialsThatSurviveReplugging) {
    // Real plugging: the virmidi card goes and comes back as two cards.
    if (system("rmmod snd_virmidi && modprobe snd-virmidi enable=1,1 midi_devs=1,1") != 0)
        GTEST_SKIP() << "cannot reload snd-virmidi here";
    OxOwnedList<MidiDeviceDescriptor*> outputs;
    factory.GetDeviceList(0, outputs);
    const MidiDeviceDescriptor* first = find(outputs, VIRMIDI_0);
    const MidiDeviceDescriptor* second = find(outputs, "Virtual Raw MIDI 1-0 : VirMIDI 1-0");
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    const std::string serial = first->serial.c_str();
    const std::string interface = first->interface.c_str();
    EXPECT_NE(serial, second->serial.c_str());
    EXPECT_NE(interface, second->interface.c_str());

    ASSERT_EQ(system("rmmod snd_virmidi && modprobe snd-virmidi"), 0);
    OxOwnedList<MidiDeviceDescriptor*> again;
    factory.recreateCache(0, again);
    const MidiDeviceDescriptor* back = find(again, VIRMIDI_0);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(serial, back->serial.c_str());
    EXPECT_EQ(interface, back->interface.c_str());
}

TEST_F(AlsaGuest, longSendReturnsAtOnceLeavesSpreadAtItsPaceAndWhatFollowsKeepsItsPlace) {
    RawMidi raw("hw:0,0", true);
    auto output = open<AlsaMidiOutput>(0, VIRMIDI_0);
    ASSERT_TRUE(output);
    // Thirty times the wire rate, so that the test ends within seconds: still far more than
    // the sequencer's queue holds at once, and with what follows within the port's backlog.
    constexpr unsigned long long BYTE_NANOS = 10000;
    output->setByteNanos(BYTE_NANOS);
    const Bytes big = dokatest::sysex(150000);
    const Bytes small = dokatest::sysex(300);
    const unsigned long long start = alsaNanoTime();
    EXPECT_EQ(output->SendLong(big.data(), static_cast<int>(big.size())), 150000);
    EXPECT_LT(alsaNanoTime() - start, PROMPTLY_NANOS);
    EXPECT_EQ(output->QueuedLongMessages(), 1);

    // Another thread sends notes on channel 2 meanwhile: they go between messages, in order.
    Bytes channel2Sent;
    for (int i = 0; i < 200; ++i)
        channel2Sent.insert(channel2Sent.end(),
                            {noteOnOrOff(i, 1), static_cast<unsigned char>(i & 0x7F), 0x40});
    std::thread other([&] {
        for (size_t i = 0; i < channel2Sent.size(); i += 3) {
            EXPECT_EQ(output->SendShort(channel2Sent[i], channel2Sent[i + 1], 0x40), 1);
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
    });
    Bytes expected = big;
    for (int i = 0; i < 100; ++i) {
        const unsigned char note = static_cast<unsigned char>(i);
        EXPECT_EQ(output->SendShort(noteOnOrOff(i, 0), note, 0x7F), 1);
        expected.insert(expected.end(), {noteOnOrOff(i, 0), note, 0x7F});
        if (i % 10 == 0) {
            EXPECT_EQ(output->SendLong(small.data(), static_cast<int>(small.size())), 300);
            expected.insert(expected.end(), small.begin(), small.end());
        }
    }
    other.join();

    unsigned long long first = 0;
    unsigned long long last = 0;
    const Bytes got = raw.read(expected.size() + channel2Sent.size(), 120000, &first, &last);
    EXPECT_GE(last - start, big.size() * BYTE_NANOS);
    // Spread over that time rather than held back and sent at once.
    EXPECT_LT(first - start, (last - start) / 2);
    Bytes rest;
    Bytes channel2;
    EXPECT_TRUE(separateChannel2(got, rest, channel2));
    EXPECT_TRUE(sameBytes(rest, expected));
    EXPECT_EQ(channel2, channel2Sent);
    EXPECT_EQ(output->QueuedLongMessages(), 0);
}

TEST_F(AlsaGuest, closingDropsWhatIsQueuedAtOnceAndTheReopenedPortStartsEmpty) {
    RawMidi raw("hw:0,0", true);
    auto output = open<AlsaMidiOutput>(0, VIRMIDI_0);
    ASSERT_TRUE(output);
    const Bytes big = dokatest::sysex(1000000);
    // A waiting send is released by the close, as failed.
    std::atomic<int> waitResult{-1};
    std::thread waiting([&] { waitResult = output->SendLongWait(big.data(), 1000000, nullptr); });
    EXPECT_TRUE(waitUntil([&] { return output->QueuedLongMessages() == 1; }));
    EXPECT_GE(raw.read(64, 10000).size(), 64u);
    const unsigned long long start = alsaNanoTime();
    output->Close();
    EXPECT_LT(alsaNanoTime() - start, PROMPTLY_NANOS);
    waiting.join();
    EXPECT_EQ(waitResult, 0);
    // What the sequencer had already passed on is all that comes.
    const size_t leftOver = raw.read(big.size(), 1000).size();
    EXPECT_LT(leftOver, 1000u);

    OxStringList errors;
    ASSERT_EQ(output->Open(&errors), 1) << errors.getText().c_str();
    EXPECT_EQ(output->QueuedLongMessages(), 0);
    EXPECT_EQ(output->SendShort(0x90, 0x40, 0x7F), 1);
    EXPECT_EQ(raw.read(3, 2000), (Bytes{0x90, 0x40, 0x7F}));
}

TEST_F(AlsaGuest, aFloodIsDroppedInWholeMessagesBeyondTheBacklogAndToldOncePerBurst) {
    RawMidi raw("hw:0,0", true);
    auto output = open<AlsaMidiOutput>(0, VIRMIDI_0);
    ASSERT_TRUE(output);
    testing::internal::CaptureStderr();
    const Bytes message = dokatest::sysex(100);
    Bytes taken; // of a hundred seconds of the wire, sent at once
    const unsigned long long start = alsaNanoTime();
    for (int i = 0; i < 3125; ++i)
        if (output->SendLong(message.data(), 100) == 100)
            taken.insert(taken.end(), message.begin(), message.end());
    EXPECT_TRUE(output->isDropping());
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "MIDI output \"" + std::string(VIRMIDI_0) +
                  "\": dropping: the output is slower than the input\n");
    // The wire takes 3125 bytes a second meanwhile (a slow machine sends the flood for longer).
    EXPECT_LE(taken.size(), AlsaSendLimit::LIMIT_BYTES + 500 + (alsaNanoTime() - start) / 320000);
    EXPECT_TRUE(sameBytes(raw.read(taken.size() + 1, 4000), taken));
    EXPECT_TRUE(waitUntil([&] { return !output->isDropping(); }, 5000));
}

#if defined(__SANITIZE_THREAD__)
// This case closes the sequencer's descriptor under its receive thread on purpose.
extern "C" const char* __tsan_default_suppressions() {
    return "race:AlsaGuest_aFailedClientIsToldItsPortsAreLostAndAReopenedPortReceivesAgain_Test\n";
}
#endif

TEST_F(AlsaGuest, aFailedClientIsToldItsPortsAreLostAndAReopenedPortReceivesAgain) {
    HelperClient source("Source", {{"Out", READABLE}});
    ErrorRecorder listener;
    factory.setListener(&listener);
    InputRecorder recorder;
    auto input = open<TMidiInputBase>(1, "Source : Out");
    ASSERT_TRUE(input);
    input->SetDataListener(&recorder);
    // Its descriptor closed under the receive thread; a copy keeps the number from new clients.
    const std::shared_ptr<AlsaSequencer> failed = AlsaSequencer::shared();
    pollfd fd;
    ASSERT_EQ(snd_seq_poll_descriptors(failed->handle(), &fd, 1, POLLIN), 1);
    const int saved = dup(fd.fd);
    testing::internal::CaptureStderr();
    close(fd.fd);
    ASSERT_TRUE(source.send({0xF8})); // wakes the receive thread, which finds it closed
    EXPECT_TRUE(waitUntil([&] { return input->isConnectionLost(); }));
    dup2(saved, fd.fd);
    close(saved);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("MIDI input stopped"), std::string::npos);
    EXPECT_EQ(listener.snapshot().size(), 1u);

    // As the manager's refresh does with a lost port: closed and opened again, on a new client.
    input->Close();
    OxStringList errors;
    ASSERT_EQ(input->Open(&errors), 1) << errors.getText().c_str();
    ASSERT_TRUE(source.send({0x90, 0x40, 0x7F}));
    ASSERT_TRUE(recorder.waitForCount(1, 10000));
    EXPECT_EQ(recorder.takeBytes(), (std::vector<Bytes>{{0x90, 0x40, 0x7F}}));
}
