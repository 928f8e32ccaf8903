#include "src/DisplayHandOver.h"
#include "src/DumpFile.h"
#include "src/ProgramNames.h"
#include "tests/support/MidiBytes.h"
#include "tests/support/TempDir.h"

#include <atomic>
#include <gtest/gtest.h>
#include <thread>

namespace {

// A burst is taken once, as its last pair; a reader never sees a torn pair.
TEST(DisplayHandOver, aBurstIsTakenOnceAsItsLastPairAndReadersNeverSeeATornPair) {
    DisplayHandOver display({"VERSION", "1.1"});
    DisplayLines lines;
    EXPECT_FALSE(display.take(lines));
    for (int i = 0; i < 100; ++i)
        display.post({Lk::OxString::fromInt(i), "x"});
    ASSERT_TRUE(display.take(lines));
    EXPECT_EQ(lines.line1, "99");
    EXPECT_FALSE(display.take(lines));
    EXPECT_EQ(display.latest().line1, "99");

    std::atomic<bool> stop{false};
    std::thread writer([&] {
        for (int i = 0; !stop; ++i)
            display.post({Lk::OxString::format("A%d", i), Lk::OxString::format("B%d", i)});
    });
    for (int i = 0; i < 20000; ++i)
        if (display.take(lines) && lines.line1.substr(1) != lines.line2.substr(1))
            ADD_FAILURE() << "torn: " << lines.line1.c_str() << " " << lines.line2.c_str();
    stop = true;
    writer.join();
}

// Only names are written, quoted where needed; one cleared after loading goes from the file,
// unless the file could not be read. A reader keeps the version it took.
TEST(ProgramNameTable, writesOnlyNamesAndForgetsClearedOnesOnlyAfterReadingTheFile) {
    const dokatest::TempDir folder("doka-names");
    const Lk::OxString path = folder.file("names.fnst").c_str();
    ProgramNames names;
    names[0] = "  Pad ";
    names[127] = "Say \"hi\" \\o/";
    ProgramNameTable table;
    table.set(names);
    const auto before = table.get();
    Lk::TIniFile written(path);
    table.save(written, true);
    ASSERT_TRUE(written.WriteToFile());
    Lk::TIniFile ini(path);
    ASSERT_TRUE(ini.ReadFromFileNoException());
    table.load(ini);
    EXPECT_EQ(*table.get(), names);
    EXPECT_FALSE(ini.ValueExists("Program Names", "Program3"));
    names[0] = "";
    table.set(names);
    EXPECT_EQ((*before)[0], "  Pad ");
    Lk::TIniFile unread(path);
    unread.ReadFromFileNoException();
    table.save(unread, false);
    EXPECT_TRUE(unread.ValueExists("Program Names", "Program0"));
    table.save(ini, true);
    EXPECT_FALSE(ini.ValueExists("Program Names", "Program0"));
}

TEST(DumpFile, truncatesAndKeepsEveryMessageOnDiskAtOnce) {
    const dokatest::TempDir folder("doka-dump");
    folder.write("DOKA_dump.syx", "previous run");
    DumpFile dump;
    ASSERT_TRUE(dump.open(folder.file("DOKA_dump.syx").c_str()));
    dump.write(dokatest::Bytes{0xC0, 0x05}.data(), 2);
    dump.write(dokatest::Bytes{0xF0, 0x77, 0x75, 0xF7}.data(), 4);
    dump.write(nullptr, 3);
    // Already on disk before the file is closed: a crash would keep it.
    EXPECT_EQ(folder.read("DOKA_dump.syx"), "\xC0\x05\xF0\x77\x75\xF7");
    dump.close();
    dump.write(dokatest::Bytes{0xC0, 0x05}.data(), 2); // after close: ignored
    EXPECT_FALSE(dump.isOpen());

    EXPECT_FALSE(dump.open("/nonexistent/folder/DOKA_dump.syx"));
}

} // namespace
