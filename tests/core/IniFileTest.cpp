#include "core/inifile/TIniFile.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <linux/capability.h>
#include <random>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <thread>
#include <tuple>
#include <unistd.h>
#include <utility>
#include <vector>

using namespace Lk;

namespace {

std::vector<std::string> linesOf(const TStringList& list) {
    std::vector<std::string> out;
    for (int i = 0; i < list.GetCount(); ++i)
        out.emplace_back(list.GetLine(i).c_str());
    return out;
}

// The bytes go to a heap block of their exact size, with no NUL after them, so the
// sanitizer sees any read past the given length.
TStringList listOf(const std::string& text) {
    const std::vector<char> bytes(text.begin(), text.end());
    TStringList list;
    list.SetText(bytes.data(), static_cast<int>(bytes.size()));
    return list;
}

TIniFile iniOf(const std::string& text) {
    TIniFile ini("unused");
    ini.ParseStrings(listOf(text));
    return ini;
}

class IniFileOnDisk : public ::testing::Test {
protected:
    OxString path(const std::string& name) const { return dir.file(name).c_str(); }

    dokatest::TempDir dir{"inifile"};
};

using Names = std::vector<std::string>;

} // namespace

TEST(StringList, splitsEveryLineBreakFormWithinTheBudget) {
    const int kOwnBlock = -2; // all of the text, in a block of its own size with no NUL after it
    // {text, length given, lines}
    const std::tuple<const char*, int, Names> cases[] = {
        {"a\r\nb\rc\nd", kOwnBlock, {"a", "b", "c", "d"}},
        {"a\n\r\n\rb\n", kOwnBlock, {"a", "", "", "b"}},
        {"ab\r", kOwnBlock, {"ab"}},
        {"last", kOwnBlock, {"last"}},
        {"", kOwnBlock, {}},
        {"ab\r\ncd", 5, {"ab", "c"}},
        {"x\0y", 3, {"x"}}};
    for (const auto& [text, length, lines] : cases) {
        TStringList list;
        if (length == kOwnBlock)
            list = listOf(text);
        else
            list.SetText(text, length);
        EXPECT_EQ(linesOf(list), lines) << text << " " << length;
    }
}

// Lines before the first header belong to no section; a header is a whole line, and a
// repeated section continues the earlier one.
TEST(IniFile, parsesHeadersKeysAndValuesWithBlanksQuotesAndEscapes) {
    const TIniFile ini = iniOf("lost=1\n[XY]\na=1\n[a]\n [ab]\n[]\n[ab]\nb=2\n[XY]\nc=3\n"
                               "[Sec]\n"
                               "  key  =  value  \n"
                               "\t\"a=b\" junk = \"x\\ty\" tail\n"
                               "esc=\"\\a\\b\\f\\n\\r\\t\\v\\\\\\\"\\q\"\n"
                               "empty=\n"
                               "inner=say \"hi\"\n"
                               ";comment=1\n"
                               "noequals\n"
                               " = nokey\n"
                               "\"\"=emptyquoted\n"
                               "\"open=1\n"
                               "open2=\"abc\n"
                               "slash=\"abc\\\n"
                               "\"slash\\\n");
    const TStringList& s = ini.GetSection("Sec");
    EXPECT_EQ(s.GetValue("key"), "value  ");
    EXPECT_EQ(s.GetValue("a=b"), "x\ty");
    EXPECT_EQ(s.GetValue("esc"), "\a\b\f\n\r\t\v\\\"q");
    EXPECT_TRUE(s.KeyExists("empty"));
    EXPECT_EQ(s.GetValue("inner"), "say \"hi\"");
    for (const char* key : {";comment", "noequals", "", "open", "\"open", "open2", "slash"})
        EXPECT_FALSE(s.KeyExists(key)) << key;
    EXPECT_EQ(s.GetValue("absent"), "");

    bool found = true;
    ini.GetSection("", &found);
    EXPECT_FALSE(found);
    EXPECT_FALSE(ini.ValueExists("", "lost"));
    EXPECT_EQ(linesOf(ini.GetSection("XY", &found)), (Names{"a=1", "[a]", " [ab]", "[]", "c=3"}));
    EXPECT_TRUE(found);
    EXPECT_EQ(linesOf(ini.GetSection("ab")), Names{"b=2"});
    EXPECT_EQ(ini.GetSection("missing").GetCount(), 0);
}

// Writes, deletions and raw lines with repeated keys in random order; after each step the
// list must say what a list freshly made of the same lines says.
TEST(StringList, manyChangesKeepTheLinesAndValuesOfAFreshList) {
    const std::vector<std::string> keys = {"a", "b", "c", "d", "Name1"};
    const std::vector<std::string> raw = {
        "a=raw", " b = spaced", ";a=comment", "plain", "\"c\"=quoted", "Name1=x=y", ""};
    std::mt19937 random(7);
    TStringList list;
    Names model;
    const auto fresh = [&model] {
        TStringList made;
        for (const std::string& line : model)
            made.Add(line.c_str());
        return made;
    };
    for (int step = 0; step < 3000; ++step) {
        const std::string& key = keys[random() % keys.size()];
        const unsigned action = random() % 3;
        // Raw lines only while the list is short, so that it keeps shrinking back.
        if (action == 2 && model.size() <= 40) {
            model.push_back(raw[random() % raw.size()]);
            list.Add(model.back().c_str());
        } else {
            const OxString oxKey(key.c_str());
            const int first = fresh().ParseValues(&oxKey);
            if (first >= 0)
                model.erase(model.begin() + first);
            if (action == 0) {
                model.push_back(key + "=" + std::to_string(step));
                list.SetValue(oxKey, OxString::fromInt(step));
            } else {
                ASSERT_EQ(list.DeleteKey(oxKey), first >= 0) << step;
            }
        }
        ASSERT_EQ(linesOf(list), model) << step;
        const TStringList expected = fresh();
        for (const std::string& k : keys) {
            ASSERT_EQ(list.KeyExists(k.c_str()), expected.KeyExists(k.c_str())) << step << k;
            ASSERT_EQ(list.GetValue(k.c_str()), expected.GetValue(k.c_str())) << step << k;
        }
    }
}

// Of repeated keys the last line gives the value and the first is deleted first.
TEST(IniFile, repeatedKeysAndIntegersThatFallBackToTheDefaultAlsoOutOfTheirRange) {
    TIniFile ini = iniOf("[Num]\nk=1\napples=12 apples\nword=apples\nnothing=\nk=2\n"
                         "big=4294967305\nlow=-18446744073709551607\n");
    EXPECT_EQ(ini.ReadString("Num", "k", ""), "2");
    EXPECT_TRUE(ini.DeleteKey("Num", "k"));
    EXPECT_EQ(ini.ReadString("Num", "k", ""), "2");
    EXPECT_EQ(ini.ReadInteger("Num", "apples", 7), 12);
    for (const char* key : {"word", "nothing", "absent"})
        EXPECT_EQ(ini.ReadInteger("Num", key, 7), 7) << key;
    // Read in a range, a number past 32 or 64 bits is out of it, not wrapped into it.
    EXPECT_EQ(ini.ReadInteger("Num", "big", 7), 9);
    EXPECT_EQ(ini.ReadInteger("Num", "apples", 7, -12, 12), 12);
    for (const char* key : {"big", "low", "apples", "word"})
        EXPECT_EQ(ini.ReadInteger("Num", key, 7, -11, 11), 7) << key;
    EXPECT_EQ(ini.ReadString("Gone", "absent", "def"), "def");
    ini.WriteInteger("Num", "neg", -42);
    EXPECT_EQ(ini.ReadString("Num", "neg", ""), "-42");
    EXPECT_FALSE(ini.DeleteKey("Gone", "neg"));
}

TEST_F(IniFileOnDisk, refusesMissingFilesFoldersXmlAndJsonEvenAfterAByteOrderMark) {
    TIniFile ini(path("s.ini"));
    // {file, none when null; XML; JSON}
    const std::tuple<const char*, bool, bool> refused[] = {
        {nullptr, false, false},
        {"\n  \n  <?XML version=\"1.0\"?>\n[a]\n", true, false},
        {"\xEF\xBB\xBF<?xml version=\"1.0\"?>\n", true, false},
        {"\r\n{ \"Current\": 1 }\n[Current]\nk=1\n", false, true}};
    for (const auto& [text, xml, json] : refused) {
        if (text != nullptr)
            dir.write("s.ini", text);
        ini.WriteString("Current", "k", "2");
        EXPECT_FALSE(ini.ReadFromFileNoException()) << xml << json;
        EXPECT_EQ(xml, ini.isXML()) << xml << json;
        EXPECT_EQ(json, ini.isJSON()) << xml << json;
        EXPECT_FALSE(ini.ValueExists("Current", "k")) << xml << json;
    }
    EXPECT_FALSE(TIniFile(dir.path().c_str()).ReadFromFileNoException());
    dir.write("s.ini", "\xEF\xBB\xBF[Current]\nChannel=3\n");
    ASSERT_TRUE(ini.ReadFromFileNoException());
    EXPECT_FALSE(ini.isXML() || ini.isJSON());
    EXPECT_EQ(ini.ReadInteger("Current", "Channel", 0), 3);
    ASSERT_TRUE(ini.WriteToFile());
    EXPECT_EQ(dir.read("s.ini"), "[Current]\nChannel=3\n\n");
}

// Sections are written in byte order, comments and empty sections with them; what was
// written is read and written again byte for byte.
TEST_F(IniFileOnDisk, writesSectionsInByteOrderAndReadsBackWhatItWrote) {
    dir.write("s.ini", "[bc]\r\n;note\r\n\r\nplain line\r\nk=1\r\n"
                       "[Program Names]\r\nName3=My \"Best\" Lead  ");
    TIniFile ini(path("s.ini"));
    ASSERT_TRUE(ini.ReadFromFileNoException());
    ini.WriteString("Empty", "gone", "1");
    ini.DeleteKey("Empty", "gone");
    ini.WriteString("Ab", "key", " lead \"quoted\" ");
    ini.WriteInteger("Current", "Channel", 16);
    ini.WriteString("Program Names", "Name5", "  Spaced");
    ASSERT_TRUE(ini.WriteToFile());
    const std::string written =
        "[Ab]\nkey= lead \"quoted\" \n\n[Current]\nChannel=16\n\n[Empty]\n\n"
        "[Program Names]\nName3=My \"Best\" Lead  \nName5=  Spaced\n\n"
        "[bc]\n;note\nplain line\nk=1\n\n";
    EXPECT_EQ(dir.read("s.ini"), written);
    EXPECT_EQ(dir.names(), Names{"s.ini"});

    // How the values read back is guarded by the parser cases.
    TIniFile back(path("s.ini"));
    ASSERT_TRUE(back.ReadFromFileNoException());
    ASSERT_TRUE(back.WriteToFile());
    EXPECT_EQ(dir.read("s.ini"), written);
}

TEST_F(IniFileOnDisk, longLinesAreExaminedOnlyAtTheirStartButKeptWholeAndNulEndsTheFile) {
    const std::string big(100000, 'v');
    const std::string name(5000, 'N');
    const std::string exact = "e=\"" + std::string(7996, 'x') + "\"";   // 8000 bytes
    const std::string cut = "c=\"" + std::string(7996, 'x') + "\\\"\""; // escape at the limit
    dir.write("s.ini", "[Sec]\nbig=" + big + "\n" + exact + "\n" + cut + "\n[" + name + "]\nk=1");
    TIniFile ini(path("s.ini"));
    ASSERT_TRUE(ini.ReadFromFileNoException());
    EXPECT_EQ(ini.ReadString("Sec", "big", "").length(), 7996);
    EXPECT_EQ(ini.ReadString("Sec", "e", "").length(), 7996);
    EXPECT_FALSE(ini.ValueExists("Sec", "c"));
    EXPECT_TRUE(ini.ValueExists(name.c_str(), "k"));
    ASSERT_TRUE(ini.WriteToFile());
    EXPECT_NE(dir.read("s.ini").find("big=" + big + "\n"), std::string::npos);
    EXPECT_NE(dir.read("s.ini").find("[" + name + "]\nk=1\n"), std::string::npos);

    const char binary[] = "[Sec]\nk=1\n\0[Tx]\nz=2\n\xFF\xFE"; // read up to its first NUL
    dir.write("s.ini", std::string(binary, sizeof binary - 1));
    EXPECT_TRUE(ini.ReadFromFileNoException());
    EXPECT_EQ(ini.ReadString("Sec", "k", ""), "1");
    EXPECT_FALSE(ini.ValueExists("Tx", "z"));
    dir.write("s.ini", "");
    EXPECT_TRUE(ini.ReadFromFileNoException());
}

TEST_F(IniFileOnDisk, writeCreatesMissingFoldersAndFailsWithoutTouchingTheOldFileOrAnUnreadOne) {
    TIniFile nested(path("a/b/c/s.ini"));
    nested.WriteString("Sec", "k", "1");
    ASSERT_TRUE(nested.WriteToFile());
    EXPECT_EQ(dir.read("a/b/c/s.ini"), "[Sec]\nk=1\n\n");

    dir.write("blocker", "not a folder");
    EXPECT_FALSE(TIniFile(path("blocker/s.ini")).WriteToFile());
    EXPECT_FALSE(TIniFile(dir.path().c_str()).WriteToFile());

    const std::string old = "[Keep]\nk=old\n\n";
    dir.write("s.ini", old);
    TIniFile full(path("s.ini"));
    full.WriteString("Keep", "k", std::string(4096, 'n').c_str());
    // Files cannot grow beyond 1024 bytes meanwhile: the write fails with EFBIG instead of
    // the process being killed by SIGXFSZ.
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    const rlimit limited{1024, saved.rlim_max};
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    const bool written = full.WriteToFile();
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_FALSE(written);
    EXPECT_EQ(dir.read("s.ini"), old);
    EXPECT_EQ(dir.names(), (Names{"a", "blocker", "s.ini"})); // no temporary file left behind

    // A file that is there but could not be read is never written over. Read without the
    // capabilities that pass over file modes (also as root), which belong to one thread.
    ASSERT_EQ(chmod(dir.file("s.ini").c_str(), 0), 0);
    std::thread([&] {
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct caps[2]{};
        ASSERT_EQ(syscall(SYS_capset, &header, caps), 0);
        TIniFile unread(path("s.ini"));
        EXPECT_FALSE(unread.ReadFromFileNoException());
        EXPECT_EQ(unread.unreadableReason(), OxString(std::strerror(EACCES)));
        EXPECT_FALSE(unread.WriteToFile());
    }).join();
    chmod(dir.file("s.ini").c_str(), 0600);
    EXPECT_EQ(dir.read("s.ini"), old);
}
