#include "core/inifile/TIniFile.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <random>
#include <string>
#include <tuple>
#include <sys/resource.h>
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

// Files cannot grow beyond `bytes` while this lives; writes fail with EFBIG instead of the
// process being killed by SIGXFSZ.
struct DiskFullSimulation {
    explicit DiskFullSimulation(rlim_t bytes) : oldHandler(std::signal(SIGXFSZ, SIG_IGN)) {
        getrlimit(RLIMIT_FSIZE, &saved);
        rlimit limited = saved;
        limited.rlim_cur = bytes;
        active = setrlimit(RLIMIT_FSIZE, &limited) == 0;
    }
    ~DiskFullSimulation() {
        setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, oldHandler);
    }

    void (*oldHandler)(int);
    rlimit saved{};
    bool active = false;
};

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
        {"x\0y", 3, {"x"}},
        {"one\ntwo", -1, {"one", "two"}},
        {nullptr, 5, {}}};
    for (const auto& [text, length, lines] : cases) {
        TStringList list;
        if (length == kOwnBlock)
            list = listOf(text);
        else
            list.SetText(text, length);
        EXPECT_EQ(linesOf(list), lines) << (text ? text : "null") << " " << length;
    }
}

TEST(IniFile, headerRulesAndRepeatedSectionContinuesEarlierOne) {
    const TIniFile ini = iniOf("lost=1\n[XY]\na=1\n[a]\n [ab]\n[]\n[ab]\nb=2\n[XY]\nc=3\n");
    bool found = true;
    ini.GetSection("", &found);
    EXPECT_FALSE(found);
    EXPECT_FALSE(ini.ValueExists("", "lost"));
    EXPECT_EQ(linesOf(ini.GetSection("XY", &found)), (Names{"a=1", "[a]", " [ab]", "[]", "c=3"}));
    EXPECT_TRUE(found);
    EXPECT_EQ(linesOf(ini.GetSection("ab")), Names{"b=2"});
    EXPECT_EQ(ini.GetSection("missing").GetCount(), 0);
}

TEST(IniFile, parsesKeysAndValuesWithBlanksQuotesAndEscapes) {
    const TIniFile ini = iniOf("[Sec]\n"
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
}

// Where a key is repeated, the last line gives its value and the first is found first; the
// test below checks how writes and deletions treat repeated keys.
TEST(StringList, theLastOfRepeatedKeysGivesTheValue) {
    TStringList s = listOf("k=1\nother=x\nk=2");
    EXPECT_EQ(s.GetValue("k"), "2");
    const OxString k("k");
    EXPECT_EQ(s.ParseValues(&k), 0);
    EXPECT_EQ(s.ParseValues(nullptr), -1);
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
    const OxString name1("Name1");
    EXPECT_EQ(list.ParseValues(&name1), fresh().ParseValues(&name1));
}

TEST(IniFile, integersFallBackToTheDefault) {
    TIniFile ini = iniOf("[Num]\napples=12 apples\nword=apples\nnothing=\n");
    EXPECT_EQ(ini.ReadInteger("Num", "apples", 7), 12);
    EXPECT_EQ(ini.ReadInteger("Num", "word", 7), 7);
    EXPECT_EQ(ini.ReadInteger("Num", "nothing", 7), 7);
    EXPECT_EQ(ini.ReadInteger("Num", "absent", 7), 7);
    EXPECT_EQ(ini.ReadString("Gone", "absent", "def"), "def");
    ini.WriteInteger("Num", "neg", -42);
    EXPECT_EQ(ini.ReadString("Num", "neg", ""), "-42");
    EXPECT_FALSE(ini.DeleteKey("Gone", "neg"));
}

TEST_F(IniFileOnDisk, writesSectionsInByteOrderWithCommentsAndEmptySections) {
    TIniFile ini(path("s.ini"));
    ini.ParseStrings(
        listOf("[bc]\n;note\n\nplain line\nk=1\n[Program Names]\nName1=Piano\n[MIDI.alias]\nx=1"));
    ini.WriteString("Empty", "gone", "1");
    ini.DeleteKey("Empty", "gone");
    ini.WriteString("Ab", "key", " lead \"quoted\" ");
    ASSERT_TRUE(ini.WriteToFile());
    EXPECT_EQ(dir.read("s.ini"), "[Ab]\nkey= lead \"quoted\" \n\n[Empty]\n\n[MIDI.alias]\nx=1\n\n"
                            "[Program Names]\nName1=Piano\n\n[bc]\n;note\nplain line\nk=1\n\n");
    EXPECT_EQ(dir.names(), Names{"s.ini"});
}

TEST_F(IniFileOnDisk, refusesXmlAndJsonEvenAfterAByteOrderMarkAndForgetsThatOnTheNextRead) {
    TIniFile ini(path("s.ini"));
    // {file, XML, JSON}
    const std::tuple<std::string, bool, bool> refused[] = {
        {"\n  \n  <?XML version=\"1.0\"?>\n[a]\n", true, false},
        {"\xEF\xBB\xBF<?xml version=\"1.0\"?>\n", true, false},
        {"\r\n{ \"Current\": 1 }\n[Current]\nk=1\n", false, true}};
    for (const auto& [text, xml, json] : refused) {
        dir.write("s.ini", text);
        ini.WriteString("Current", "k", "2");
        EXPECT_FALSE(ini.ReadFromFileNoException()) << text;
        EXPECT_EQ(xml, ini.isXML()) << text;
        EXPECT_EQ(json, ini.isJSON()) << text;
        EXPECT_FALSE(ini.ValueExists("Current", "k")) << text;
    }
    dir.write("s.ini", "\xEF\xBB\xBF[Current]\nChannel=3\n");
    ASSERT_TRUE(ini.ReadFromFileNoException());
    EXPECT_FALSE(ini.isXML() || ini.isJSON());
    EXPECT_EQ(ini.ReadInteger("Current", "Channel", 0), 3);
    ASSERT_TRUE(ini.WriteToFile());
    EXPECT_EQ(dir.read("s.ini"), "[Current]\nChannel=3\n\n");
}

TEST_F(IniFileOnDisk, settingsSurviveARoundTrip) {
    dir.write("s.ini", "[Current]\r\nChannel=5\r\nWindowX=-20\r\n[Program Names]\r\n"
                 "Name1=Grand Piano\r\nName2=Caf\xC3\xA9 \xCE\xA9 pad\r\n"
                 "Name3=My \"Best\" Lead  \r\nName4=\"  Lead\"\r\n"
                 "[MIDI.alias]\r\nAlias0=MIDI Input;in;USB Keys\r\n");
    TIniFile ini(path("s.ini"));
    ASSERT_TRUE(ini.ReadFromFileNoException());
    ini.WriteInteger("Current", "Channel", 16);
    ini.WriteString("Program Names", "Name5", "  Spaced");
    ASSERT_TRUE(ini.WriteToFile());
    const std::string first = dir.read("s.ini");

    TIniFile back(path("s.ini"));
    ASSERT_TRUE(back.ReadFromFileNoException());
    EXPECT_EQ(back.ReadInteger("Current", "Channel", 0), 16);
    EXPECT_EQ(back.ReadInteger("Current", "WindowX", 0), -20);
    EXPECT_EQ(back.ReadString("Program Names", "Name2", ""), "Caf\xC3\xA9 \xCE\xA9 pad");
    EXPECT_EQ(back.ReadString("Program Names", "Name3", ""), "My \"Best\" Lead  ");
    EXPECT_EQ(back.ReadString("Program Names", "Name4", ""), "  Lead");
    EXPECT_EQ(back.ReadString("Program Names", "Name5", ""), "Spaced");
    EXPECT_EQ(back.ReadString("MIDI.alias", "Alias0", ""), "MIDI Input;in;USB Keys");
    ASSERT_TRUE(back.WriteToFile());
    EXPECT_EQ(dir.read("s.ini"), first);
    EXPECT_EQ(first.find('\r'), std::string::npos);
}

TEST_F(IniFileOnDisk, longLinesAreExaminedOnlyAtTheirStartButKeptWhole) {
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
}

TEST_F(IniFileOnDisk, unreadableOrBinaryFilesGiveAnEmptySettingsObject) {
    TIniFile missing(path("missing.ini"));
    missing.WriteString("Sec", "k", "1");
    EXPECT_FALSE(missing.ReadFromFileNoException());
    EXPECT_FALSE(missing.ValueExists("Sec", "k"));
    EXPECT_FALSE(TIniFile(dir.path().c_str()).ReadFromFileNoException());

    const char bytes[] = "[Sec]\nk=1\n\0[Tx]\nz=2\n\xFF\xFE";
    dir.write("bin.ini", std::string(bytes, sizeof bytes - 1));
    TIniFile binary(path("bin.ini"));
    EXPECT_TRUE(binary.ReadFromFileNoException());
    EXPECT_EQ(binary.ReadString("Sec", "k", ""), "1");
    bool found = true;
    binary.GetSection("Tx", &found);
    EXPECT_FALSE(found);
    dir.write("empty.ini", "");
    EXPECT_TRUE(TIniFile(path("empty.ini")).ReadFromFileNoException());
}

TEST_F(IniFileOnDisk, writeCreatesMissingFoldersAndFailsWithoutTouchingTheOldFile) {
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
    bool written = true;
    {
        const DiskFullSimulation diskFull(1024);
        ASSERT_TRUE(diskFull.active);
        written = full.WriteToFile();
    }
    EXPECT_FALSE(written);
    EXPECT_EQ(dir.read("s.ini"), old);
    EXPECT_EQ(dir.names(), (Names{"a", "blocker", "s.ini"})); // no temporary file left behind
}
