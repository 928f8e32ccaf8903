#include "src/DisplayHandOver.h"
#include "src/DumpFile.h"
#include "src/ProgramNames.h"
#include "tests/support/MidiBytes.h"
#include "tests/support/TempDir.h"

#include <atomic>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <thread>

namespace {

TEST(DisplayHandOver, aBurstIsTakenOnceAsItsLastPair) {
    DisplayHandOver display({"VERSION", "1.1"});
    DisplayLines taken;
    EXPECT_FALSE(display.take(taken));
    for (int i = 0; i < 100; ++i)
        display.post({Lk::OxString::fromInt(i), "x"});
    ASSERT_TRUE(display.take(taken));
    EXPECT_EQ(taken.line1, "99");
    EXPECT_FALSE(display.take(taken));
    EXPECT_EQ(display.latest().line1, "99");
}

TEST(DisplayHandOver, readersNeverSeeATornPair) {
    DisplayHandOver display({"A0", "B0"});
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        for (int i = 0; !stop; ++i)
            display.post({Lk::OxString::format("A%d", i), Lk::OxString::format("B%d", i)});
    });
    for (int i = 0; i < 20000; ++i) {
        DisplayLines lines;
        if (display.take(lines)) {
            ASSERT_EQ(lines.line1.substr(1), lines.line2.substr(1));
        }
    }
    stop = true;
    writer.join();
}

// Only names are written; one cleared after loading goes from the file, unless the file
// could not be read, when its keys are not known to be stale.
TEST(ProgramNameTable, writesOnlyNamesAndForgetsClearedOnesOnlyAfterReadingTheFile) {
    const dokatest::TempDir folder("doka-names");
    const Lk::OxString path = folder.file("names.fnst").c_str();
    ProgramNames names;
    names[0] = "Grand Piano";
    names[127] = "Last";
    ProgramNameTable table;
    table.set(names);
    {
        Lk::TIniFile ini(path);
        table.save(ini, true);
        ASSERT_TRUE(ini.WriteToFile());
    }
    Lk::TIniFile ini(path);
    ASSERT_TRUE(ini.ReadFromFileNoException());
    table.load(ini);
    EXPECT_EQ(*table.get(), names);
    EXPECT_FALSE(ini.ValueExists("Program Names", "Program3"));
    names[0] = "";
    table.set(names);
    Lk::TIniFile unread(path);
    unread.ReadFromFileNoException();
    table.save(unread, false);
    EXPECT_TRUE(unread.ValueExists("Program Names", "Program0"));
    table.save(ini, true);
    EXPECT_FALSE(ini.ValueExists("Program Names", "Program0"));
}

TEST(ProgramNameTable, aReaderKeepsTheVersionItTookWhileNamesAreReplaced) {
    ProgramNameTable table;
    ProgramNames names;
    names[5] = "Old";
    table.set(names);
    const auto before = table.get();
    names[5] = "New";
    table.set(names);
    EXPECT_EQ((*before)[5], "Old");
    EXPECT_EQ((*table.get())[5], "New");
}

TEST(DumpFile, truncatesAndKeepsEveryMessageOnDiskAtOnce) {
    const dokatest::TempDir folder("doka-dump");
    const std::string path = folder.file("DOKA_dump.syx");
    std::ofstream(path) << "previous run";
    DumpFile dump;
    ASSERT_TRUE(dump.open(path.c_str()));
    dump.write(dokatest::Bytes{0xC0, 0x05}.data(), 2);
    dump.write(dokatest::Bytes{0xF0, 0x77, 0x75, 0xF7}.data(), 4);
    dump.write(nullptr, 3);
    // Already on disk before the file is closed: a crash would keep it.
    std::ifstream in(path, std::ios::binary);
    const dokatest::Bytes onDisk{std::istreambuf_iterator<char>(in), {}};
    EXPECT_TRUE(dokatest::sameBytes(onDisk, {0xC0, 0x05, 0xF0, 0x77, 0x75, 0xF7}));
    dump.close();
    dump.write(onDisk.data(), 2); // after close: ignored
    EXPECT_FALSE(dump.isOpen());

    testing::internal::CaptureStderr();
    EXPECT_FALSE(dump.open("/nonexistent/folder/DOKA_dump.syx"));
    EXPECT_NE(testing::internal::GetCapturedStderr().find("Cannot open"), std::string::npos);
}

} // namespace
