// Fuzzes the settings reader with hostile files. The input is written to a file in a
// private folder (in /dev/shm when it exists) and read as the program reads its settings.
// Checked on every input:
// - a file is refused only as XML or JSON; otherwise every section holds exactly the lines
//   that follow its header, up to the next header, as a plain reading of the file finds them;
// - written back and read again, the sections hold the same lines (empty ones aside);
// - every "key=value" line whose '=' lies in the examined first 8000 bytes gives its key, and
//   where no quotes are involved the value of the last such line, cut at those 8000 bytes;
// - a list changed line by line (keys deleted, values set, lines added) answers every lookup
//   after every change as its lines say (a key's first line, last value), at the end as a
//   list freshly built from its lines does, and a value set is the value read.
#include "core/inifile/TIniFile.h"

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <utility>
#include <vector>

using namespace Lk;
namespace fs = std::filesystem;

namespace {

constexpr size_t kExaminedLineBytes = 8000;
// Enough changes to the first lines that removals outnumber the lines left.
constexpr size_t kMaxListLines = 24;
constexpr size_t kMaxListKeys = 12;
constexpr int kMaxListChanges = 48;

using Lines = std::vector<std::string>;

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "settings reader fault: %s\n", what);
    std::abort();
}

// A private folder for the run; removed at exit.
class ScratchFile {
public:
    ScratchFile() {
        const fs::path base = fs::is_directory("/dev/shm") ? "/dev/shm" : fs::temp_directory_path();
        std::string pattern = (base / "doka-inifuzz-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr)
            fail("no scratch folder");
        dir = pattern;
        path = (dir / "settings.ini").string();
    }
    ~ScratchFile() {
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }
    void write(const uint8_t* data, size_t size) const {
        FILE* file = std::fopen(path.c_str(), "wb");
        if (file == nullptr || std::fwrite(data, 1, size, file) != size || std::fclose(file) != 0)
            fail("cannot write the scratch file");
    }

    fs::path dir;
    std::string path;
};

// The lines of the file as a plain reading finds them: a leading byte-order mark dropped,
// split at CR LF, CR and LF, ended by the first NUL.
Lines splitLines(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0)
        text.erase(0, 3);
    text = text.substr(0, text.find('\0'));
    Lines lines;
    std::string line;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c != '\r' && c != '\n') {
            line += c;
            continue;
        }
        lines.push_back(line);
        line.clear();
        if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
            ++i;
    }
    if (!line.empty())
        lines.push_back(line);
    return lines;
}

std::map<std::string, Lines> sectionsOf(const Lines& lines) {
    std::map<std::string, Lines> sections;
    std::string current;
    for (const std::string& line : lines) {
        if (line.size() >= 4 && line.front() == '[' && line.back() == ']')
            current = line.substr(1, line.size() - 2);
        else if (!current.empty())
            sections[current].push_back(line);
    }
    return sections;
}

Lines linesOf(const TStringList& list) {
    Lines lines;
    for (int i = 0; i < list.GetCount(); ++i)
        lines.push_back(list.GetLine(i).c_str());
    return lines;
}

Lines withoutEmptyLines(const Lines& lines) {
    Lines kept;
    for (const std::string& line : lines)
        if (!line.empty())
            kept.push_back(line);
    return kept;
}

// The key of a plain "key = value" line, with where its value starts; empty when the line
// has no such key within the examined bytes, or when it begins with a quote or a ';'.
std::string plainKey(const std::string& line, size_t* valueStart = nullptr) {
    const std::string examined = line.substr(0, kExaminedLineBytes);
    const size_t begin = examined.find_first_not_of(" \t");
    if (begin == std::string::npos || examined[begin] == ';' || examined[begin] == '"')
        return std::string();
    const size_t equals = examined.find('=');
    if (equals == std::string::npos || equals == begin)
        return std::string();
    const size_t end = examined.find_last_not_of(" \t", equals - 1);
    if (valueStart != nullptr)
        *valueStart = equals + 1;
    return examined.substr(begin, end + 1 - begin);
}

// Whether the quote opened at `open` is closed; a backslash escapes the byte after it.
bool closesQuote(const std::string& text, size_t open) {
    for (size_t i = open + 1; i < text.size(); ++i) {
        if (text[i] == '\\')
            ++i;
        else if (text[i] == '"')
            return true;
    }
    return false;
}

// Checks the keys of plain lines; their values too when no line holds a quote.
void checkPlainPairs(const TStringList& list) {
    const Lines lines = linesOf(list);
    bool quotes = false;
    for (const std::string& line : lines)
        quotes = quotes || line.find('"') != std::string::npos;
    std::map<std::string, std::string> expected;
    for (const std::string& line : lines) {
        size_t valueStart = 0;
        const std::string key = plainKey(line, &valueStart);
        if (key.empty())
            continue;
        const std::string examined = line.substr(0, kExaminedLineBytes);
        const size_t value = examined.find_first_not_of(" \t", valueStart);
        // A value that opens a quote and never closes it leaves the line without a key.
        if (value != std::string::npos && examined[value] == '"' && !closesQuote(examined, value))
            continue;
        expected[key] = value == std::string::npos ? std::string() : examined.substr(value);
    }
    for (const auto& [key, value] : expected) {
        if (!list.KeyExists(key.c_str()))
            fail("the key of a plain line is missing");
        const OxString read = list.GetValue(key.c_str());
        if (key.size() + 1 + static_cast<size_t>(read.length()) > kExaminedLineBytes)
            fail("a key and its value reach beyond the examined bytes");
        if (!quotes && value != read.c_str())
            fail("the value is not that of the last line with the key");
    }
}

// Every lookup of `list` against a list built afresh from its lines.
void compareWithFreshList(TStringList& list, const std::vector<std::string>& keys) {
    TStringList fresh;
    for (int i = 0; i < list.GetCount(); ++i)
        fresh.Add(list.GetLine(i));
    for (const std::string& k : keys) {
        const OxString key(k.c_str());
        if (list.KeyExists(key) != fresh.KeyExists(key) ||
            !list.GetValue(key).equals(fresh.GetValue(key)) ||
            list.ParseValues(&key) != fresh.ParseValues(&key))
            fail("a changed list answers a lookup unlike a fresh one");
    }
}

// What each line says about the keys, read from a list of that line alone, kept for the
// lines of one input: a change adds at most one line that was not there before. Found by
// the address of the line's text, which the list shares with its copies and keeps while
// the line stays; the copy kept here stops that address from going to another text.
class LineReadings {
public:
    using Reading = std::vector<std::pair<bool, OxString>>; // per key: held, value there

    explicit LineReadings(const std::vector<std::string>& keys) : keys(keys) {}

    const Reading& of(const OxString& line) {
        auto [found, added] = readings.try_emplace(line.c_str());
        if (added) {
            found->second.line = line;
            TStringList alone;
            alone.Add(line);
            for (const std::string& k : keys) {
                const OxString key(k.c_str());
                found->second.reading.emplace_back(alone.KeyExists(key), alone.GetValue(key));
            }
        }
        return found->second.reading;
    }

private:
    struct Entry {
        OxString line;
        Reading reading;
    };
    const std::vector<std::string>& keys;
    std::map<const char*, Entry> readings;
};

// Every lookup of `list` against what a list built afresh from its lines must answer:
// a key exists when a line holds it, its value is that of the last such line and its
// position that of the first. Cheaper than building that list after every change.
void compareWithItsLines(TStringList& list, const std::vector<std::string>& keys,
                         LineReadings& readings) {
    const int count = list.GetCount();
    std::vector<const LineReadings::Reading*> lines(count);
    for (int i = 0; i < count; ++i)
        lines[i] = &readings.of(list.GetLine(i));
    for (size_t j = 0; j < keys.size(); ++j) {
        int first = -1;
        OxString value;
        for (int i = 0; i < count; ++i) {
            if (!(*lines[i])[j].first)
                continue;
            if (first < 0)
                first = i;
            value = (*lines[i])[j].second;
        }
        const OxString key(keys[j].c_str());
        if (list.KeyExists(key) != (first >= 0) || !list.GetValue(key).equals(value) ||
            list.ParseValues(&key) != first)
            fail("a changed list answers a lookup unlike its lines");
    }
}

// Deletes keys, sets values and adds lines in an order the input chooses, on the first
// lines of the file.
void changeListStepByStep(const Lines& lines, const uint8_t* data, size_t size) {
    TStringList list;
    std::vector<std::string> keys;
    for (size_t i = 0; i < lines.size() && i < kMaxListLines; ++i) {
        list.Add(lines[i].c_str());
        const std::string key = plainKey(lines[i]);
        if (!key.empty() && keys.size() < kMaxListKeys)
            keys.push_back(key);
    }
    if (keys.empty())
        return;
    checkPlainPairs(list);
    LineReadings readings(keys);
    for (int step = 0; step < kMaxListChanges; ++step) {
        const uint8_t choice = size > 0 ? data[static_cast<size_t>(step) % size] : 0;
        const OxString key(keys[choice % keys.size()].c_str());
        switch ((choice >> 4) % 3) {
        case 0: {
            const bool existed = list.KeyExists(key);
            if (list.DeleteKey(key) != existed)
                fail("deleting a key reports the wrong outcome");
            break;
        }
        case 1: {
            const OxString value = "set " + OxString::fromInt(step);
            list.SetValue(key, value);
            if (key.length() + 1 + value.length() < static_cast<int>(kExaminedLineBytes) &&
                !list.GetValue(key).equals(value))
                fail("a value set is not the value read");
            break;
        }
        default:
            list.Add(key + " = added " + OxString::fromInt(step));
            break;
        }
        compareWithItsLines(list, keys, readings);
    }
    compareWithFreshList(list, keys);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const ScratchFile scratch;
    scratch.write(data, size);

    TIniFile ini(scratch.path.c_str());
    if (!ini.ReadFromFileNoException()) {
        if (!ini.isXML() && !ini.isJSON())
            fail("a readable file was refused");
        return 0;
    }
    const Lines lines = splitLines(data, size);
    const std::map<std::string, Lines> sections = sectionsOf(lines);
    for (const auto& [name, sectionLines] : sections) {
        bool found = false;
        const TStringList& section = ini.GetSection(name.c_str(), &found);
        if (!found || linesOf(section) != sectionLines)
            fail("a section does not hold the lines under its header");
        checkPlainPairs(section);
    }

    if (!ini.WriteToFile())
        fail("the settings could not be written back");
    TIniFile reread(scratch.path.c_str());
    if (!reread.ReadFromFileNoException())
        fail("the written settings could not be read");
    for (const auto& [name, sectionLines] : sections)
        if (withoutEmptyLines(linesOf(reread.GetSection(name.c_str()))) !=
            withoutEmptyLines(sectionLines))
            fail("a section changed on its way through the file");

    changeListStepByStep(lines, data, size);
    return 0;
}
