// The ALSA backend's pure parts, and its behaviour where there is no sequencer at all.
#include "core/linux/AlsaMidiFactory.h"
#include "core/linux/AlsaMidiOutput.h"
#include "core/linux/AlsaPorts.h"
#include "core/linux/AlsaSendQueue.h"
#include "midi/MidiInput.h"
#include "midi/MidiManager.h"
#include "platform/OrvoSystem.h"
#include "tests/support/MidiBytes.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include <algorithm>
#include <memory>
#include <vector>

using namespace Lk;

namespace {

using dokatest::Bytes;

std::vector<Bytes> packets(const Bytes& data, int maxPiece = AlsaMidiOutput::MAX_PIECE) {
    std::vector<Bytes> out;
    forEachMidiPacket(data.data(), static_cast<int>(data.size()), maxPiece,
                      [&](int offset, int size) {
                          out.emplace_back(data.begin() + offset, data.begin() + offset + size);
                      });
    return out;
}

} // namespace

TEST(AlsaMidiPackets, realTimeBytesSplitSystemExclusiveIntoEvents) {
    EXPECT_EQ(packets({0xF0, 0x01, 0xF8, 0x02, 0xF7, 0x90, 0x40, 0x7F}),
              (std::vector<Bytes>{{0xF0, 0x01}, {0xF8}, {0x02, 0xF7}, {0x90, 0x40, 0x7F}}));
    // A message cut short by the next status byte keeps its bytes, and nothing is padded.
    EXPECT_EQ(packets({0xB0, 0x07, 0x90, 0x40, 0x7F, 0xC0}),
              (std::vector<Bytes>{{0xB0, 0x07}, {0x90, 0x40, 0x7F}, {0xC0}}));
    // Data bytes without a status travel as they came.
    EXPECT_EQ(packets({0x01, 0x02, 0xF6}), (std::vector<Bytes>{{0x01, 0x02}, {0xF6}}));
}

TEST(AlsaMidiPackets, longSystemExclusiveGoesInBoundedPiecesWithNothingLost) {
    const Bytes sysex = dokatest::sysex(600);
    const std::vector<Bytes> pieces = packets(sysex, 256);
    std::vector<size_t> sizes;
    for (const Bytes& piece : pieces)
        sizes.push_back(piece.size());
    EXPECT_EQ(sizes, (std::vector<size_t>{256, 256, 88}));
    EXPECT_EQ(dokatest::joined(pieces), sysex);
    // An F7 right behind a full piece still ends the message.
    EXPECT_EQ(packets(dokatest::sysex(257), 256).back(), Bytes{0xF7});
}

namespace {

// Appends `count` messages of `pieces` pieces each, the bytes numbered on from `next`.
void appendMessages(AlsaSendQueue& queue, int count, int pieces, int pieceSize, int& next,
                    unsigned long long& sequence) {
    for (int m = 0; m < count; ++m) {
        ASSERT_TRUE(queue.appendMessage({sequence++, 0, 0, pieces * pieceSize, true}));
        for (int p = 0; p < pieces; ++p) {
            Bytes piece(static_cast<size_t>(pieceSize));
            for (unsigned char& b : piece)
                b = static_cast<unsigned char>(next++ & 0x7F);
            ASSERT_TRUE(queue.appendPiece(piece.data(), pieceSize));
        }
    }
}

// Takes every message, checking that the bytes come numbered on from `next`.
void takeMessages(AlsaSendQueue& queue, int& next, unsigned long long& sequence) {
    unsigned char piece[AlsaMidiOutput::MAX_PIECE];
    while (!queue.empty()) {
        const AlsaSendQueue::Message m = queue.takeMessage();
        ASSERT_EQ(m.sequence, sequence++);
        for (int taken = 0; taken < m.length;) {
            const int size = queue.takePiece(piece);
            ASSERT_GT(size, 0);
            for (int i = 0; i < size; ++i)
                ASSERT_EQ(piece[i], next++ & 0x7F) << "message " << m.sequence;
            taken += size;
        }
    }
}

} // namespace

TEST(AlsaSendQueue, keepsOrderAcrossBlocksAndCostsAboutWhatItHolds) {
    AlsaSendQueue queue;
    EXPECT_TRUE(queue.empty());
    int written = 0;
    int read = 0;
    unsigned long long appended = 1;
    unsigned long long taken = 1;
    // A megabyte in pieces of 256, as a long System Exclusive is queued.
    appendMessages(queue, 1, 4096, 256, written, appended);
    const size_t blocks = queue.blockCount();
    EXPECT_LE(blocks * AlsaSendQueue::BLOCK_BYTES, 1048576u * 21 / 20);
    takeMessages(queue, read, taken);
    EXPECT_EQ(read, written);
    // Drained, it keeps no more than a block to write into and a spare one.
    EXPECT_LE(queue.blockCount(), 2u);

    // Reading and writing in turns, as a busy port does, allocates nothing new.
    appendMessages(queue, 10, 1, 3, written, appended);
    const size_t steady = queue.blockCount();
    for (int round = 0; round < 2000; ++round) {
        appendMessages(queue, 7, 2, 3, written, appended);
        takeMessages(queue, read, taken);
    }
    EXPECT_EQ(queue.blockCount(), steady);
    EXPECT_EQ(read, written);
}

TEST(AlsaSendQueue, rollBackTakesBackAHalfAppendedMessageOnly) {
    AlsaSendQueue queue;
    int written = 0;
    int read = 0;
    unsigned long long appended = 1;
    unsigned long long taken = 1;
    appendMessages(queue, 3, 2, 100, written, appended);
    const AlsaSendQueue::Mark mark = queue.mark();
    int discarded = written;
    unsigned long long discardedSequence = appended;
    appendMessages(queue, 1, 200, 256, discarded, discardedSequence); // over several blocks
    queue.rollBack(mark);
    appendMessages(queue, 2, 1, 50, written, appended);
    takeMessages(queue, read, taken);
    EXPECT_EQ(read, written);
    EXPECT_EQ(taken, appended);
    EXPECT_LE(queue.blockCount(), 2u);

    // Back to nothing at all, and a record larger than a block is refused.
    AlsaSendQueue empty;
    const AlsaSendQueue::Mark none = empty.mark();
    appendMessages(empty, 1, 100, 256, discarded, discardedSequence);
    empty.rollBack(none);
    EXPECT_TRUE(empty.empty());
    Bytes huge(AlsaSendQueue::BLOCK_BYTES);
    EXPECT_FALSE(empty.appendPiece(huge.data(), static_cast<int>(huge.size())));
}

// Ten seconds of a source 100 times as fast as the wire: the backlog stays bounded, a
// System Exclusive message in pieces goes whole or not at all, and every message that was
// not taken is one that did not arrive.
TEST(AlsaSendLimit, aFloodKeepsTheBacklogBoundedAndDropsWholeMessagesOnly) {
    AlsaSendQueue queue;
    AlsaSendLimit limit;
    const Bytes big = dokatest::sysex(10000, 1); // longer than the limit: in 2048-byte pieces
    std::vector<Bytes> round = {{0x90, 0x40, 0x7F}, dokatest::sysex(500, 2), {0xF8}};
    for (size_t at = 0; at < big.size(); at += 2048)
        round.emplace_back(big.begin() + at, big.begin() + std::min(big.size(), at + 2048));
    size_t offered = 0, dropped = 0, arrived = 0, mostWaiting = 0;
    double carried = 0; // by the wire since the last message left, which then leaves
    unsigned char piece[4096];
    const auto wire = [&](double bytes) {
        for (carried += bytes; !queue.empty() && carried > 0; ++arrived, queue.takePiece(piece))
            carried -= queue.takeMessage().length;
    };
    for (int r = 0; r < 300; ++r) { // 3.1 MB: a hundred times what the wire takes in 10 s
        size_t bigPiecesTaken = 0;
        for (size_t m = 0; m < round.size(); ++m, ++offered) {
            const int length = static_cast<int>(round[m].size());
            if (limit.admit(round[m].data(), length, queue.bytes())) {
                bigPiecesTaken += m >= 3;
                ASSERT_TRUE(queue.appendMessage({offered, 0, 0, length, true}));
                ASSERT_TRUE(queue.appendPiece(round[m].data(), length));
            } else {
                ++dropped;
            }
            mostWaiting = std::max(mostWaiting, queue.bytes());
            wire(length / 100.0);
        }
        ASSERT_TRUE(bigPiecesTaken == 0 || bigPiecesTaken == round.size() - 3);
    }
    EXPECT_LE(mostWaiting, AlsaSendLimit::LIMIT_BYTES + big.size());
    wire(1e9);
    EXPECT_EQ(arrived + dropped, offered);
    // Alone, a message longer than the limit goes.
    EXPECT_TRUE(limit.admit(dokatest::sysex(20000).data(), 20000, 0));
}

TEST(AlsaMidiNames, displayNameJoinsClientAndTrimmedPortName) {
    EXPECT_STREQ(alsaDisplayName("VirMIDI 0-0     ", "Virtual Raw MIDI 0-0").c_str(),
                 "Virtual Raw MIDI 0-0 : VirMIDI 0-0");
    EXPECT_STREQ(alsaDisplayName("Midi Through Port-0", "Midi Through").c_str(),
                 "Midi Through Port-0");
    EXPECT_STREQ(alsaDisplayName("USB Keys", "keys").c_str(), "USB Keys");
    EXPECT_STREQ(alsaDisplayName("  ", "Keys").c_str(), "Keys");
    EXPECT_STREQ(alsaDisplayName("Out", "").c_str(), "Out");
}

TEST(AlsaMidiErrors, codesOutsideTheTableGetANumberedText) {
    EXPECT_STREQ(midiGetErrorText(-50).c_str(), "MIDI ERROR -50");
    EXPECT_STREQ(midiGetErrorText(-10844).c_str(), "MIDI ERROR -10844");
}

// A device path that does not exist stands for a kernel without the sequencer module.
TEST(AlsaMidiFactoryWithoutSequencer, listsNothingSaysWhatToDoAndEveryOpenFailsWithText) {
    setenv("DOKA_SEQUENCER_DEVICE", "/nothing/seq", 1);
    AlsaMidiFactory factory;
    EXPECT_STREQ(factory.serviceProblem().c_str(), "No MIDI sequencer (/nothing/seq is missing): "
                                                   "load the snd-seq kernel module (sudo "
                                                   "modprobe snd-seq).");
    EXPECT_EQ(factory.GetNumDevs(1), 0);
    EXPECT_EQ(factory.GetNumDevs(0), 0);
    OxOwnedList<MidiDeviceDescriptor*> list;
    factory.GetDeviceList(0, list);
    EXPECT_EQ(list.getCount(), 0);

    MidiDeviceDescriptor wanted(&factory, 0, 0, "Keys", "", "", "");
    wanted.address = 0x1000;
    TMidiDeviceBase* output = factory.CreateDevice(&wanted);
    OxStringList errors;
    EXPECT_EQ(output->Open(&errors), 0);
    EXPECT_FALSE(output->IsOpen());
    ASSERT_EQ(errors.list.getCount(), 1);
    EXPECT_TRUE(errors.list[0].startsWith("Cannot open MIDI output device \"Keys\": "));
    EXPECT_EQ(static_cast<TMidiOutputBase*>(output)->SendShort(0x90, 0x40, 0x7F), 0);
    const unsigned char sysex[] = {0xF0, 0x01, 0xF7};
    EXPECT_EQ(static_cast<TMidiOutputBase*>(output)->SendLong(sysex, 3), 0);
    delete output;

    wanted.isInput = 1;
    TMidiDeviceBase* input = factory.CreateDevice(&wanted);
    errors.clear(-1);
    EXPECT_EQ(input->Open(&errors), 0);
    ASSERT_EQ(errors.list.getCount(), 1);
    EXPECT_TRUE(errors.list[0].isNotEmpty());
    delete input;

    // The virtual input is made, but fails to open too.
    std::unique_ptr<TMidiInputBase> own(factory.createVirtualInput("DOKA Display"));
    ASSERT_NE(own, nullptr);
    EXPECT_STREQ(own->GetDescriptor()->GetName().c_str(), "DOKA Display");
    errors.clear(-1);
    EXPECT_EQ(own->Open(&errors), 0);
    EXPECT_FALSE(own->IsOpen());
    ASSERT_EQ(errors.list.getCount(), 1);
    EXPECT_TRUE(errors.list[0].isNotEmpty());
}

TEST(AlsaMidiFactoryRegistration, managerGetsTheFactoryOnceInitialised) {
    registerAlsaMidiBackend();
    MidiManager* manager = MidiManager::instance();
    AlsaMidiFactory* factory = AlsaMidiFactory::instance();
    ASSERT_NE(factory, nullptr);
    EXPECT_EQ(manager->GetFactory(AlsaMidiFactory::TYPE), factory);
    OrvoSystem::shutdown();
    // Asked for after it went with the rest, the factory is not made again.
    EXPECT_EQ(AlsaMidiFactory::instance(), nullptr);
}
