#pragma once

#include "platform/OxList.h"
#include "platform/OxString.h"

#include <map>
#include <vector>

namespace Lk {

// The lines of one INI section in file order, with an index from key to value that is
// built on demand from the "key=value" lines and then kept up to date by every change, so
// that writing many keys costs no more than reading them.
class TStringList {
public:
    TStringList() = default;
    TStringList(const TStringList&) = default;
    TStringList& operator=(const TStringList&) = default;
    virtual ~TStringList() = default;

    void Add(const OxString& line);
    void Clear();
    // Splits at CR LF, lone CR and lone LF. Stops at a NUL or after len bytes; len < 0
    // means at the NUL only.
    void SetText(const char* text, int len);
    // False when the file cannot be read; the list is then unchanged.
    bool LoadFromFile(const OxString& path);

    int GetCount() const { return static_cast<int>(slots.size()) - removedCount; }
    // The empty text for a position outside the list.
    OxString GetLine(int i) const;

    // Brings the index up to date; returns the position of the first line whose key
    // equals *key, or -1 (also for a null key).
    int ParseValues(const OxString* key);
    // OxString::empty when the key is absent; the last line with the key wins.
    OxString GetValue(const OxString& key) const;
    bool KeyExists(const OxString& key) const;
    // Removes the first line with that key.
    bool DeleteKey(const OxString& key);
    // Removes the first line with that key and appends "key=value" at the end.
    void SetValue(const OxString& key, const OxString& value);

private:
    // A removed line stays in place until the next compaction, so that removing is not
    // a shift of all the lines behind it.
    struct Slot {
        OxString text;
        int nextWithSameKey = -1;
        bool removed = false;
    };
    // The lines that hold one key, chained through their slots in file order.
    struct KeyLines {
        int first;
        int last;
        OxString value; // that of the last line
    };

    void indexSlot(int slot) const;
    void ensureIndex() const;
    void dropIndex();
    void removeSlot(int slot);
    void compact() const;

    // Compacted by const readers that ask for positions.
    mutable std::vector<Slot> slots;
    mutable int removedCount = 0;
    // A cache of what the lines say, so lookups refresh it even though they are const.
    mutable std::map<OxString, KeyLines> index;
    mutable bool indexBuilt = false;
};

} // namespace Lk
