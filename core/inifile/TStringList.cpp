#include "core/inifile/TStringList.h"

#include "platform/OxUtils.h"

#include <cstring>
#include <string>
#include <utility>

namespace Lk {

namespace {

// Only the start of a line is examined for a key/value pair; longer lines are kept and
// written back whole, but what lies beyond this does not reach the index.
constexpr int kExaminedLineBytes = 8000;

bool isSpaceOrTab(char c) {
    return c == ' ' || c == '\t';
}

bool startsWithUtf8Bom(const char* text, int len) {
    return len >= 3 && std::memcmp(text, "\xEF\xBB\xBF", 3) == 0;
}

char unescape(char c) {
    switch (c) {
    case 'a':
        return '\a';
    case 'b':
        return '\b';
    case 'f':
        return '\f';
    case 'n':
        return '\n';
    case 'r':
        return '\r';
    case 't':
        return '\t';
    case 'v':
        return '\v';
    default:
        return c;
    }
}

// The examined start of one line, scanned from left to right.
class PairScanner {
public:
    explicit PairScanner(const OxString& line)
        : text(line.c_str()), len(oxstrlen(line.c_str(), kExaminedLineBytes)) {}

    bool parse(OxString& key, OxString& value) {
        skipSpacesAndTabs();
        if (pos == len || text[pos] == ';')
            return false;
        if (text[pos] == '"') {
            if (!readQuoted(key) || !skipPastEquals())
                return false;
        } else if (!readPlainKey(key)) {
            return false;
        }
        if (key.isEmpty())
            return false;
        skipSpacesAndTabs();
        if (pos < len && text[pos] == '"')
            return readQuoted(value);
        value = OxString(text + pos, len - pos);
        return true;
    }

private:
    void skipSpacesAndTabs() {
        while (pos < len && isSpaceOrTab(text[pos]))
            ++pos;
    }

    int findEquals() const {
        const void* hit = std::memchr(text + pos, '=', static_cast<size_t>(len - pos));
        return hit == nullptr ? -1 : static_cast<int>(static_cast<const char*>(hit) - text);
    }

    bool skipPastEquals() {
        const int equals = findEquals();
        pos = equals + 1;
        return equals >= 0;
    }

    bool readPlainKey(OxString& key) {
        const int equals = findEquals();
        if (equals < 0)
            return false;
        int end = equals;
        while (end > pos && isSpaceOrTab(text[end - 1]))
            --end;
        key = OxString(text + pos, end - pos);
        pos = equals + 1;
        return true;
    }

    // text[pos] is the opening quote; on success pos is just past the closing one.
    bool readQuoted(OxString& out) {
        std::string decoded;
        for (int i = pos + 1; i < len; ++i) {
            if (text[i] == '"') {
                out = OxString(decoded.data(), static_cast<int>(decoded.size()));
                pos = i + 1;
                return true;
            }
            if (text[i] != '\\') {
                decoded += text[i];
            } else if (++i < len) {
                decoded += unescape(text[i]);
            }
        }
        return false;
    }

    const char* text;
    const int len;
    int pos = 0;
};

} // namespace

void TStringList::Add(const OxString& line) {
    slots.push_back(Slot{line});
    if (indexBuilt)
        indexSlot(static_cast<int>(slots.size()) - 1);
}

void TStringList::Clear() {
    std::vector<Slot>().swap(slots);
    removedCount = 0;
    dropIndex();
}

void TStringList::SetText(const char* text, int len) {
    Clear();
    if (text == nullptr)
        return;
    const int budget = len < 0 ? 0x7FFFFFFF : len;
    int lineStart = 0;
    int i = 0;
    while (i < budget && text[i] != 0) {
        const char c = text[i++];
        if (c != '\r' && c != '\n')
            continue;
        Add(OxString(text + lineStart, i - 1 - lineStart));
        if (c == '\r' && i < budget && text[i] == '\n')
            ++i;
        lineStart = i;
    }
    if (i > lineStart)
        Add(OxString(text + lineStart, i - lineStart));
}

bool TStringList::LoadFromFile(const OxString& path) {
    int size = 0;
    void* buffer = getMemoryMappedFile(path, size, nullptr);
    if (buffer == nullptr)
        return false;
    const char* text = static_cast<const char*>(buffer);
    // Editors on other systems start UTF-8 files with a byte-order mark; it belongs to no
    // line, and left in place it would hide the first section header.
    const int skip = startsWithUtf8Bom(text, size) ? 3 : 0;
    SetText(text + skip, size - skip);
    freeMemoryMappedFile(buffer);
    return true;
}

OxString TStringList::GetLine(int i) const {
    if (i < 0 || i >= GetCount())
        return OxString::empty;
    compact();
    return slots[i].text;
}

int TStringList::ParseValues(const OxString* key) {
    compact();
    ensureIndex();
    if (key == nullptr)
        return -1;
    const auto found = index.find(*key);
    return found != index.end() ? found->second.first : -1;
}

OxString TStringList::GetValue(const OxString& key) const {
    ensureIndex();
    const auto found = index.find(key);
    return found != index.end() ? found->second.value : OxString::empty;
}

bool TStringList::KeyExists(const OxString& key) const {
    ensureIndex();
    return index.find(key) != index.end();
}

bool TStringList::DeleteKey(const OxString& key) {
    ensureIndex();
    const auto found = index.find(key);
    if (found == index.end())
        return false;
    KeyLines& keyLines = found->second;
    const int slot = keyLines.first;
    if (slot == keyLines.last)
        index.erase(found);
    else
        keyLines.first = slots[slot].nextWithSameKey;
    removeSlot(slot);
    return true;
}

void TStringList::SetValue(const OxString& key, const OxString& value) {
    DeleteKey(key);
    Add(key + "=" + value);
}

void TStringList::indexSlot(int slot) const {
    OxString key;
    OxString value;
    if (!PairScanner(slots[slot].text).parse(key, value))
        return;
    const auto [found, added] = index.try_emplace(key, KeyLines{slot, slot, value});
    if (added)
        return;
    // Lines are only ever appended, so this one is the last with its key.
    slots[found->second.last].nextWithSameKey = slot;
    found->second.last = slot;
    found->second.value = value;
}

void TStringList::ensureIndex() const {
    // A list without lines is never written to, so the shared stand-in for absent
    // sections can be read from any thread.
    if (indexBuilt || GetCount() == 0)
        return;
    index.clear();
    for (int i = 0; i < static_cast<int>(slots.size()); ++i) {
        slots[i].nextWithSameKey = -1;
        if (!slots[i].removed)
            indexSlot(i);
    }
    indexBuilt = true;
}

void TStringList::dropIndex() {
    index.clear();
    indexBuilt = false;
}

void TStringList::removeSlot(int slot) {
    slots[slot].removed = true;
    slots[slot].text = OxString();
    ++removedCount;
    // Keeps the removed slots from outnumbering the lines, at a cost spread over as many
    // removals as there are lines.
    if (removedCount > GetCount())
        compact();
}

void TStringList::compact() const {
    if (removedCount == 0)
        return;
    std::vector<int> newPosition(slots.size(), -1);
    int kept = 0;
    for (int i = 0; i < static_cast<int>(slots.size()); ++i) {
        if (slots[i].removed)
            continue;
        newPosition[i] = kept;
        if (kept != i)
            slots[kept] = std::move(slots[i]);
        ++kept;
    }
    slots.erase(slots.begin() + kept, slots.end());
    removedCount = 0;
    for (Slot& line : slots)
        if (line.nextWithSameKey >= 0)
            line.nextWithSameKey = newPosition[line.nextWithSameKey];
    for (auto& entry : index) {
        entry.second.first = newPosition[entry.second.first];
        entry.second.last = newPosition[entry.second.last];
    }
}

} // namespace Lk
