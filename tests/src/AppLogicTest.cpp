#include "src/DisplayHandOver.h"
#include "src/DumpFile.h"
#include "src/ProgramNames.h"
#include "tests/support/MidiBytes.h"
#include "tests/support/TempDir.h"
#include "tests/support/WaitUntil.h"

#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

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

TEST(DumpFile, truncatesAndKeepsEveryMessageOnDiskSoon) {
    const dokatest::TempDir folder("doka-dump");
    folder.write("DOKA_dump.syx", "previous run");
    DumpFile dump;
    ASSERT_TRUE(dump.open(folder.file("DOKA_dump.syx").c_str()));
    dump.write(dokatest::Bytes{0xC0, 0x05}.data(), 2);
    dump.write(dokatest::Bytes{0xF0, 0x77, 0x75, 0xF7}.data(), 4);
    dump.write(nullptr, 3);
    // On disk before the file is closed: a crash would keep it.
    EXPECT_TRUE(dokatest::waitUntil(
        [&] { return folder.read("DOKA_dump.syx") == "\xC0\x05\xF0\x77\x75\xF7"; }));
    dump.close();
    dump.write(dokatest::Bytes{0xC0, 0x05}.data(), 2); // after close: ignored
    EXPECT_FALSE(dump.isOpen());

    EXPECT_FALSE(dump.open("/nonexistent/folder/DOKA_dump.syx"));
}

// Never waits for the file for long, nor follows a link; a failed write is told once.
TEST(DumpFile, followsNoLinkReportsAWriteErrorOnceAndNeverWaitsForTheFile) {
    const dokatest::TempDir folder("doka-dump");
    folder.write("target", "kept");
    std::filesystem::create_symlink(folder.file("target"), folder.file("link"));
    const dokatest::Bytes message = dokatest::sysex(1000);
    DumpFile dump;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(dump.open(folder.file("link").c_str()));
    EXPECT_EQ(folder.read("target"), "kept");
    ASSERT_TRUE(dump.open("/dev/full"));
    for (int i = 0; i < 3; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(150)))
        dump.write(message.data(), 1000); // in rounds of the writer of their own
    dump.close();
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Cannot open " + folder.file("link") +
                  " for dumping: it is a symbolic link, which is not followed\n"
                  "Cannot write /dev/full: No space left on device\n");

    // A reader that stopped reading: a FIFO, held open here so that opening it does not wait.
    // Neither the writes nor the close wait for it for long.
    ASSERT_EQ(::mkfifo(folder.file("fifo").c_str(), 0600), 0);
    const int fifo = ::open(folder.file("fifo").c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    ASSERT_TRUE(dump.open(folder.file("fifo").c_str()));
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 3000; ++i)
        dump.write(message.data(), 1000);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    testing::internal::CaptureStderr();
    dump.close();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_NE(testing::internal::GetCapturedStderr().find("fifo: nothing reads it\n"), std::string::npos);
    size_t arrived = 0;
    static char bytes[65536];
    for (ssize_t n; (n = ::read(fifo, bytes, sizeof bytes)) > 0;)
        arrived += static_cast<size_t>(n);
    ::close(fifo);
    EXPECT_GT(dump.droppedBytes(), 0u);
    EXPECT_EQ(arrived + dump.droppedBytes(), 3000000u);
}

} // namespace
