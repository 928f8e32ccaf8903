#include "midi/MidiDeviceFactory.h"
#include "tests/midi/support/TestMidiFactory.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace Lk;

namespace {

struct Listed {
    std::string name;
    int dupNumber;
    bool operator==(const Listed& o) const { return name == o.name && dupNumber == o.dupNumber; }
};

std::ostream& operator<<(std::ostream& out, const Listed& l) {
    return out << l.name << "#" << l.dupNumber;
}

std::vector<Listed> listed(MidiDeviceFactory& factory, int isInput) {
    OxOwnedList<MidiDeviceDescriptor*> list;
    factory.GetDeviceList(isInput, list);
    std::vector<Listed> result;
    for (const MidiDeviceDescriptor* d : list)
        result.push_back({d->GetName().c_str(), d->dupNumber});
    return result;
}

} // namespace

TEST(MidiDeviceFactory, equallyNamedPortsOfDifferentDevicesAreNumberedIgnoringCase) {
    TestMidiFactory factory;
    factory.addPort(1, "Keys");
    factory.addPort(1, "keys");
    factory.addPort(1, "Synth");
    factory.addPort(1, "Keys");
    factory.addPort(0, "Keys");
    EXPECT_EQ(listed(factory, 1),
              (std::vector<Listed>{{"Keys", 1}, {"keys (2)", 2}, {"Synth", 0}, {"Keys (3)", 3}}));
    EXPECT_EQ(listed(factory, 0), (std::vector<Listed>{{"Keys", 0}}));

    OxStringList names;
    factory.GetDeviceList(1, names);
    EXPECT_EQ(names.getText(), "Keys\nkeys (2)\nSynth\nKeys (3)\n");
}

TEST(MidiDeviceFactory, equallyNamedPortsOfOneDeviceGetNumberedNames) {
    TestMidiFactory factory;
    factory.addPort(0, "Keys", "0000ABCD", "00000001");
    factory.addPort(0, "Keys", "0000ABCD", "00000001");
    factory.addPort(0, "Pad", "0000ABCD", "00000002");
    factory.addPort(1, "Keys", "0000ABCD", "00000001");
    EXPECT_EQ(listed(factory, 0), (std::vector<Listed>{{"Keys 1", 0}, {"Keys 2", 0}, {"Pad", 0}}));
    EXPECT_EQ(listed(factory, 1), (std::vector<Listed>{{"Keys", 0}}));
}

TEST(MidiDeviceFactory, cacheIsEnumeratedAgainOnlyAfterOneAndAHalfSecondsUnused) {
    TestMidiFactory factory;
    factory.setClock(10000);
    factory.addPort(1, "Keys");
    EXPECT_EQ(listed(factory, 1).size(), 1u);
    const int first = factory.enumerations();
    EXPECT_EQ(first, 2); // both directions

    factory.addPort(1, "Synth");
    for (int i = 0; i < 3; ++i) {
        factory.advanceClock(1000);
        EXPECT_EQ(listed(factory, 1).size(), 1u) << "a cache in use every second stays";
    }
    EXPECT_EQ(factory.MidiDeviceFactory::GetNumDevs(1), 1);
    factory.advanceClock(1499);
    EXPECT_EQ(listed(factory, 1).size(), 1u);
    EXPECT_EQ(factory.enumerations(), first);

    factory.advanceClock(1500);
    EXPECT_EQ(listed(factory, 1).size(), 2u);
    EXPECT_EQ(factory.enumerations(), first + 2);

    // A clock that went back rebuilds at once.
    factory.setClock(5000);
    listed(factory, 0);
    EXPECT_EQ(factory.enumerations(), first + 4);
}

TEST(MidiDeviceFactory, cacheCountCanBeCutAndPaddedWithEmptyEntries) {
    TestMidiFactory factory;
    factory.setClock(1);
    factory.addPort(1, "A");
    factory.addPort(1, "B");
    factory.addPort(1, "C");
    EXPECT_EQ(factory.MidiDeviceFactory::GetNumDevs(1), 3);

    factory.SetCacheCount(1, 1, 0);
    EXPECT_EQ(listed(factory, 1), (std::vector<Listed>{{"A", 0}}));
    factory.SetCacheCount(1, 3, 1);
    EXPECT_EQ(factory.MidiDeviceFactory::GetNumDevs(1), 3);
    EXPECT_EQ(listed(factory, 1), (std::vector<Listed>{{"A", 0}}));
    OxStringList publicNames;
    factory.GetPublicDeviceNameList(1, publicNames);
    EXPECT_EQ(publicNames.list.getCount(), 0);
}

TEST(MidiDeviceFactory, changeIsReportedOnce) {
    TestMidiFactory factory;
    EXPECT_EQ(factory.hasChanged(), 0);
    factory.change();
    EXPECT_EQ(factory.hasChanged(), 1);
    EXPECT_EQ(factory.hasChanged(), 0);
}
