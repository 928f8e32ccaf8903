#include "midi/MidiPortNames.h"

#include <cwchar>
#include <string>

namespace Lk {

namespace {

bool isBlank(wchar_t ch) {
    return ch >= 1 && ch <= 32;
}

bool isDigit(char ch) {
    return OxString::parseIntChar(ch) >= 0;
}

int lengthOf(const wchar_t* s) {
    return static_cast<int>(std::wcslen(s));
}

// The number of equal leading characters, or 0 when that run is shorter than half of a:
// a short common start does not make two names related.
int commonBeginning(const wchar_t* a, int lengthOfA, const wchar_t* b) {
    int n = 0;
    while (a[n] != 0 && a[n] == b[n])
        ++n;
    return n < lengthOfA / 2 ? 0 : n;
}

} // namespace

OxString RemoveWindowsNumberedPrefix(const OxString& name) {
    const char* text = name.c_str();
    int pos = 0;
    while (isDigit(text[pos]))
        ++pos;
    if (pos == 0 || text[pos] != '-')
        return name;
    ++pos;
    while (isBlank(static_cast<unsigned char>(text[pos])))
        ++pos;
    return OxString(text + pos);
}

OxString getNormalizedMIDIPortName(const OxString& name, int isInput) {
    struct Affixes {
        const char* prefix;
        const char* suffixes[2];
    };
    static const Affixes input{"From ", {" In", " Input"}};
    static const Affixes output{"To ", {" Out", " Output"}};
    const Affixes& affixes = isInput ? input : output;

    OxString s = RemoveWindowsNumberedPrefix(name);
    const OxString prefix(affixes.prefix);
    if (s.startsWith(prefix, 1))
        s = s.substr(prefix.length());
    for (const char* suffixText : affixes.suffixes) {
        const OxString suffix(suffixText);
        if (s.endsWith(suffix, 1))
            s = s.substr(0, s.length() - suffix.length());
    }
    return s;
}

int GetLengthOfCommonBeginning(const wchar_t* a, const wchar_t* b, int trimTrailingBlanks) {
    if (a == nullptr || b == nullptr)
        return 0;
    int n = commonBeginning(a, lengthOf(a), b);
    if (trimTrailingBlanks)
        while (n > 0 && isBlank(a[n - 1]))
            --n;
    return n;
}

int RemoveNonCommonPrefix(const wchar_t** a, const wchar_t** b, int skipBlanks) {
    if (a == nullptr || b == nullptr || *a == nullptr || *b == nullptr || **a == 0)
        return 0;
    const int lengthA = lengthOf(*a);
    const int lengthB = lengthOf(*b);
    const int halfA = lengthA / 2;
    const int halfB = lengthB / 2;
    // A start closer to the end than half a name cannot give a run long enough.
    for (int i = 0; i < lengthA && lengthA - i >= halfA; ++i) {
        for (int j = 0; j < lengthB && lengthB - j >= halfB; ++j) {
            const int c = commonBeginning(*a + i, lengthA - i, *b + j);
            if (c < halfA || c < halfB)
                continue;
            *a += i;
            *b += j;
            if (skipBlanks) {
                while (isBlank(**a))
                    ++*a;
                while (isBlank(**b))
                    ++*b;
            }
            return 1;
        }
    }
    return 0;
}

OxString getPortNameCommonString(const OxString& a, const OxString& b) {
    // Own copies: the UTF-32 form of a string is only valid until a string sharing its
    // text converts again.
    const std::wstring textA = RemoveWindowsNumberedPrefix(a).toWChar();
    const std::wstring textB = RemoveWindowsNumberedPrefix(b).toWChar();
    const wchar_t* startA = textA.c_str();
    const wchar_t* startB = textB.c_str();
    if (!RemoveNonCommonPrefix(&startA, &startB, 1))
        return OxString();
    const int c = GetLengthOfCommonBeginning(startA, startB, 0);
    const OxString restA = OxString(startA + c, OxString::WHOLE).trim();
    const OxString restB = OxString(startB + c, OxString::WHOLE).trim();
    // "Keys 1" and "Keys 2" are two different ports, not the two halves of one.
    if (restA.isNotEmpty() && restB.isNotEmpty() && (isDigit(restA[0]) || isDigit(restB[0])))
        return OxString();
    return OxString(startA, c).trim();
}

} // namespace Lk
