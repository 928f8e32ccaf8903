#pragma once

#include "platform/OxList.h"
#include "platform/OxString.h"

#include <map>

namespace Lk {

// One line of a TStringList, without its line break.
struct TStringListElement {
    TStringListElement() = default;
    explicit TStringListElement(const OxString& text) : text(text) {}

    OxString text;
};

// The lines of one INI section in file order, with an index from key to value that is
// built on demand from the "key=value" lines and dropped by every change of the lines.
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

    int GetCount() const { return lines.getCount(); }
    // The empty text for a position outside the list.
    OxString GetLine(int i) const;

    // Rebuilds the index; returns the position of the first line whose key equals *key,
    // or -1 (also for a null key).
    int ParseValues(const OxString* key);
    // OxString::empty when the key is absent.
    OxString GetValue(const OxString& key) const;
    bool KeyExists(const OxString& key) const;
    // Removes the first line with that key.
    bool DeleteKey(const OxString& key);
    // Removes the first line with that key and appends "key=value" at the end.
    void SetValue(const OxString& key, const OxString& value);

private:
    int buildIndex(const OxString* key) const;
    void ensureIndex() const;
    void dropIndex();

    OxList<TStringListElement> lines;
    // A cache of what the lines say, so lookups refresh it even though they are const.
    mutable std::map<OxString, OxString> index;
    mutable bool indexBuilt = false;
};

} // namespace Lk
