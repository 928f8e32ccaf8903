// The MIDI library on the real sequencer, as the application runs it, for what only a real
// kernel shows: the virtual input port that other programs (aplaymidi, aconnect) reach. The
// library's refresh, pending ports, aliases and thru are tested on the in-process backend
// (tests/midi), the program's thru and replugs end to end (tests/src/e2e).
#include "core/hotplugwatcher/HotplugWatcher.h"
#include "core/linux/AlsaHotplugSource.h"
#include "core/linux/AlsaMidiFactory.h"
#include "core/linux/AlsaSequencer.h"
#include "midi/MidiAlias.h"
#include "midi/MidiManager.h"
#include "midi/MidiRouter.h"
#include "tests/core/linux/support/HelperClient.h"
#include "tests/midi/support/MessageRecorder.h"
#include "tests/support/MidiBytes.h"
#include "tests/support/ShutdownAtEnd.h"
#include "tests/support/TempDir.h"
#include "tests/support/WaitUntil.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

using namespace Lk;
using dokatest::Bytes;
using dokatest::waitUntil;

namespace {

const unsigned kDeadlineMs = 30000;
MessageRecorder recorder; // outlives the manager, which the test program ends with

// The port index an alias resolves to, read as the manager writes it: under the alias lock.
int userIdOf(const TMidiAlias* alias) {
    OxScopedLock hold(TMidiAliasManager::instance()->GetLock());
    return alias->userID;
}

// A Standard MIDI File (format 0, one track) that plays the messages one after another at
// once; System Exclusive messages shorter than 128 bytes.
bool writeMidiFile(const std::string& path, const std::vector<Bytes>& messages) {
    Bytes track;
    for (const Bytes& m : messages) {
        track.push_back(0); // no delay
        if (m[0] == 0xF0) {
            track.push_back(0xF0);
            track.push_back(static_cast<unsigned char>(m.size() - 1));
            track.insert(track.end(), m.begin() + 1, m.end());
        } else {
            track.insert(track.end(), m.begin(), m.end());
        }
    }
    track.insert(track.end(), {0x00, 0xFF, 0x2F, 0x00}); // end of track
    Bytes file = {'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 0, 0, 1, 0, 96, 'M', 'T', 'r', 'k'};
    for (int shift = 24; shift >= 0; shift -= 8)
        file.push_back(static_cast<unsigned char>(track.size() >> shift));
    file.insert(file.end(), track.begin(), track.end());
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(file.data()),
              static_cast<std::streamsize>(file.size()));
    return out.good();
}

// What the manager delivered from port `index`, joined, once `count` bytes came.
Bytes bytesOf(int index, size_t count) {
    Bytes joined;
    recorder.waitFor(
        [&](const std::vector<ReceivedMessage>& all) {
            joined.clear();
            for (const ReceivedMessage& m : all)
                if (m.port == index)
                    joined.insert(joined.end(), m.bytes.begin(), m.bytes.end());
            return joined.size() >= count;
        },
        kDeadlineMs);
    recorder.take();
    return joined;
}

} // namespace

TEST(AlsaPlugGuest, virtualInputPassesWhatOtherProgramsSendThroughTheDataPathAndThru) {
    if (access("/dev/snd/seq", F_OK) != 0)
        GTEST_SKIP() << "no sequencer: CTest runs this in the guest";
    registerAlsaMidiBackend();
    AlsaHotplugSource::install();
    MidiManager* manager = MidiManager::instance();
    manager->SetDataListener(&recorder);
    manager->SetSuspended(0);
    HelperClient device("Virtual Box");
    ASSERT_TRUE(
        waitUntil([&] { return device.hearsAnnouncements("HotplugWatcher::MIDI"); }, kDeadlineMs));

    TMidiAliasManager* aliases = TMidiAliasManager::instance();
    aliases->AddAlias("Virtual Test In", "Absent Module", atIn, 0);
    aliases->AddAlias("Virtual Test Out", "Virtual Box : In", atOut, 0);
    TMidiAlias* input = aliases->GetAliasByName("Virtual Test In", atIn, 0, 0);
    TMidiAlias* output = aliases->GetAliasByName("Virtual Test Out", atOut, 0, 0);
    ASSERT_GE(TMidiRouter::instance()->AddRoute(input, output), 0);
    ASSERT_TRUE(device.plug(0));
    ASSERT_TRUE(waitUntil([&] { return userIdOf(output) >= 0; }, kDeadlineMs));
    const int out = userIdOf(output);
    ASSERT_EQ(manager->Open(out, 0, nullptr), 1);

    OxStringList errors;
    ASSERT_EQ(manager->OpenVirtualInput("DOKA Display", input, &errors), 1)
        << errors.getText().c_str();
    // The port of our process's client with that name, as another program finds it.
    const auto ownPort = [&] {
        HelperClient::SeenPort found;
        for (const HelperClient::SeenPort& p : device.ports())
            if (p.client == AlsaSequencer::shared()->clientId() && p.name == "DOKA Display")
                found = p;
        return found;
    };
    const HelperClient::SeenPort port = ownPort();
    ASSERT_GE(port.client, 0);
    const std::string address = std::to_string(port.client) + ":" + std::to_string(port.port);
    EXPECT_EQ(port.caps & HelperClient::WRITABLE, HelperClient::WRITABLE);
    EXPECT_EQ(port.caps & SND_SEQ_PORT_CAP_NO_EXPORT, 0u);
    manager->RefreshDevList(1, 1);
    for (int i = 0; i < manager->GetDevCount(1); ++i)
        EXPECT_EQ(manager->GetDevName(i, 1).indexOf("DOKA Display"), -1);

    // aplaymidi subscribes to the port and plays a file into it.
    const std::vector<Bytes> played = {{0x90, 0x3C, 0x64},
                                       {0xB0, 0x07, 0x64},
                                       {0xC0, 0x05},
                                       {0xE0, 0x00, 0x40},
                                       {0xF0, 0x7D, 0x01, 0x02, 0x03, 0xF7},
                                       {0x80, 0x3C, 0x00}};
    const dokatest::TempDir folder;
    ASSERT_TRUE(writeMidiFile(folder.file("played.mid"), played));
    const std::string play = "aplaymidi -p " + address + " " + folder.file("played.mid");
    EXPECT_EQ(system(play.c_str()), 0) << play;
    const int own = MidiManager::VIRTUAL_INPUT_INDEX;
    const Bytes expected = dokatest::joined(played);
    EXPECT_EQ(bytesOf(own, expected.size()), expected);
    EXPECT_EQ(device.receive(expected.size()), expected);

    // A device connected to it with aconnect reaches it too.
    const std::string connect = "aconnect 'Virtual Box:1' " + address;
    ASSERT_EQ(system(connect.c_str()), 0) << connect;
    const Bytes sent = {0xF8, 0x90, 0x40, 0x7F, 0xF0, 0x7D, 0x05, 0x06, 0xF7, 0x80, 0x40, 0x00};
    ASSERT_TRUE(device.send(sent));
    EXPECT_EQ(bytesOf(own, sent.size()), sent);
    EXPECT_EQ(device.receive(sent.size()), sent);

    manager->CloseVirtualInput();
    EXPECT_EQ(ownPort().client, -1);
    manager->Close(out, 0, 0);
}
