#include "midi/MidiDeviceDescriptor.h"
#include "midi/MidiDevice.h"
#include "tests/midi/support/TestMidiFactory.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>

using namespace Lk;

namespace {

MidiDeviceDescriptor port(int isInput, const char* name, int dupNumber = 0, const char* serial = "",
                          const char* interface = "") {
    MidiDeviceDescriptor d(nullptr, isInput, 0, name, interface, serial, "");
    d.dupNumber = dupNumber;
    return d;
}

} // namespace

TEST(MidiDeviceDescriptor, displayNameCarriesTheDuplicateNumberFromTheSecondOn) {
    EXPECT_EQ(port(1, "Keys").GetName(), "Keys");
    EXPECT_EQ(port(1, "Keys", 1).GetName(), "Keys");
    const MidiDeviceDescriptor second = port(1, "Keys", 2);
    EXPECT_EQ(second.GetName(), "Keys (2)");
    EXPECT_EQ(second.GetRawName(), "Keys");
}

TEST(MidiDeviceDescriptor, matchesByDuplicateNumberOnlyWithoutIdentity) {
    const MidiDeviceDescriptor keys2 = port(1, "Keys", 2);
    const MidiDeviceDescriptor alsoKeys2 = port(1, "Keys", 2);
    const MidiDeviceDescriptor keys3 = port(1, "Keys", 3);
    const MidiDeviceDescriptor lowerKeys2 = port(1, "keys", 2);
    const MidiDeviceDescriptor outKeys2 = port(0, "Keys", 2);
    EXPECT_TRUE(keys2.Matches(&alsoKeys2));
    EXPECT_FALSE(keys2.Matches(&keys3));
    EXPECT_FALSE(keys2.Matches(&lowerKeys2));
    EXPECT_FALSE(keys2.Matches(&outKeys2));
    EXPECT_FALSE(keys2.Matches(nullptr));

    MidiDeviceDescriptor qualified = port(1, "Keys", 2);
    qualified.qualifier = "usb";
    EXPECT_FALSE(keys2.Matches(&qualified));
}

TEST(MidiDeviceDescriptor, matchesByIdentityIgnoringDuplicateNumberAndCase) {
    const MidiDeviceDescriptor first = port(1, "Keys", 1, "0000ABCD", "00000001");
    const MidiDeviceDescriptor moved = port(1, "Keys", 3, "0000abcd", "00000001");
    const MidiDeviceDescriptor otherDevice = port(1, "Keys", 1, "0000ABCE", "00000001");
    const MidiDeviceDescriptor otherGroup = port(1, "Keys", 1, "0000ABCD", "00000002");
    EXPECT_TRUE(first.Matches(&moved));
    EXPECT_FALSE(first.Matches(&otherDevice));
    EXPECT_FALSE(first.Matches(&otherGroup));
}

TEST(MidiDeviceDescriptor, matchesOnlyWithinOneFactory) {
    TestMidiFactory a;
    TestMidiFactory b;
    MidiDeviceDescriptor fromA(&a, 1, 0, "Keys", "", "", "");
    MidiDeviceDescriptor fromB(&b, 1, 0, "Keys", "", "", "");
    const MidiDeviceDescriptor stored = port(1, "Keys");
    EXPECT_FALSE(fromA.Matches(&fromB));
    EXPECT_TRUE(fromA.Matches(&stored));
    EXPECT_TRUE(stored.Matches(&fromB));
    EXPECT_EQ(fromA.GetType(), TestMidiFactory::DEFAULT_TYPE);
    EXPECT_EQ(stored.GetType(), 0u);
}

TEST(MidiDeviceDescriptor, pairsAreOneInputAndOneOutputOfOneDevice) {
    const MidiDeviceDescriptor in = port(1, "Keys In", 0, "0000ABCD");
    const MidiDeviceDescriptor out = port(0, "Control", 0, "0000ABCD");
    const MidiDeviceDescriptor otherIn = port(1, "Keys In", 0, "0000ABCD");
    EXPECT_TRUE(in.isPairOf(&out, 0));
    EXPECT_FALSE(in.isPairOf(&otherIn, 0));
    EXPECT_FALSE(in.isPairOf(nullptr, 1));

    const MidiDeviceDescriptor keysIn = port(1, "Keys In");
    const MidiDeviceDescriptor keysOut = port(0, "Keys Out");
    const MidiDeviceDescriptor synthOut = port(0, "Synth Out");
    EXPECT_TRUE(keysIn.isPairOf(&keysOut, 1));
    EXPECT_FALSE(keysIn.isPairOf(&synthOut, 1));
    EXPECT_TRUE(keysIn.isPairOf(&keysOut, 0));
    EXPECT_FALSE(keysIn.isPairOf(&synthOut, 0));

    const MidiDeviceDescriptor secondKeysOut = port(0, "Keys Out", 2);
    EXPECT_FALSE(keysIn.isPairOf(&secondKeysOut, 0));
    MidiDeviceDescriptor qualifiedOut = port(0, "Keys Out");
    qualifiedOut.qualifier = "usb";
    EXPECT_FALSE(keysIn.isPairOf(&qualifiedOut, 1));
}

TEST(MidiDeviceDescriptor, isEqualComparesEveryFieldAndCloneCopiesThem) {
    TestMidiFactory factory;
    MidiDeviceDescriptor original(&factory, 1, 4, "Keys", "00000001", "0000ABCD", "Public");
    original.qualifier = "q";
    original.dupNumber = 2;
    original.address = 17;
    std::unique_ptr<MidiDeviceDescriptor> copy(original.Clone());
    EXPECT_TRUE(original.IsEqual(copy.get()));
    EXPECT_FALSE(original.IsEqual(nullptr));

    const std::function<void(MidiDeviceDescriptor&)> changes[] = {
        [](MidiDeviceDescriptor& d) { d.factory = nullptr; },
        [](MidiDeviceDescriptor& d) { d.isInput = 0; },
        [](MidiDeviceDescriptor& d) { d.index = 5; },
        [](MidiDeviceDescriptor& d) { d.dupNumber = 3; },
        [](MidiDeviceDescriptor& d) { d.name = "keys"; },
        [](MidiDeviceDescriptor& d) { d.qualifier = "Q"; },
        [](MidiDeviceDescriptor& d) { d.serial = "0000abcd"; },
        [](MidiDeviceDescriptor& d) { d.interface = "00000002"; },
        [](MidiDeviceDescriptor& d) { d.publicName = "public"; },
        [](MidiDeviceDescriptor& d) { d.address = 18; },
    };
    for (const auto& change : changes) {
        MidiDeviceDescriptor changed;
        changed.AssignFrom(original);
        change(changed);
        EXPECT_FALSE(original.IsEqual(&changed)) << changed.GetName().c_str();
    }

    copy->InvalidateSerialAndInterface();
    EXPECT_TRUE(copy->serial.isEmpty() && copy->interface.isEmpty());
    EXPECT_EQ(original.serial, "0000ABCD");
}

TEST(MidiDeviceDescriptor, createsPortObjectsOnlyForItsOwnDirection) {
    TestMidiFactory factory;
    const MidiDeviceDescriptor in(&factory, 1, 0, "Keys", "", "", "");
    EXPECT_EQ(in.CreateOutputDevice(), nullptr);
    std::unique_ptr<TMidiDeviceBase> device(in.CreateInputDevice());
    ASSERT_NE(device, nullptr);
    EXPECT_TRUE(in.IsEqual(device->GetDescriptor()));
    EXPECT_NE(device->GetDescriptor(), &in);

    const MidiDeviceDescriptor withoutFactory = port(0, "Synth");
    EXPECT_EQ(withoutFactory.CreateOutputDevice(), nullptr);
}
