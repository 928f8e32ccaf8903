#pragma once

#include <cstdarg>

namespace Lk {

struct OxStringContainer;

// Shared, reference-counted, copy-on-write UTF-8 text. Positions and lengths are byte
// counts; case folding is ASCII only. Copies of one string may live on different threads;
// one OxString object must not be changed on one thread while another uses it.
class OxString {
public:
    static const OxString empty;
    static constexpr int WHOLE = 0x7FFFFFFF;

    OxString();
    OxString(const OxString& other);
    OxString(OxString&& other) noexcept;
    OxString(const char* s, int len = WHOLE, int capacity = -1);
    // wchar_t holds one UTF-32 code point.
    OxString(const wchar_t* s, int len, int capacity = -1);
    ~OxString();

    // An empty text with room for `capacity` bytes, for building a text piece by piece.
    static OxString withCapacity(int capacity);
    static OxString fromChar(char c);
    static OxString fromInt(int v);
    static OxString toHex(unsigned v, int minDigits);
    static OxString format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

    const char* c_str() const;
    const char* toUTF8() const { return c_str(); }
    // 0-terminated UTF-32 form; valid until the next toWChar() on a string sharing this
    // text, or until the text changes.
    const wchar_t* toWChar() const;
    int length() const;
    int capacity() const;
    char operator[](int i) const { return c_str()[i]; }
    bool isEmpty() const { return c_str()[0] == 0; }
    bool isNotEmpty() const { return c_str()[0] != 0; }

    OxString& operator=(const OxString& other);
    OxString& operator=(OxString&& other) noexcept;
    OxString& assign(const OxString& other) { return *this = other; }
    OxString& assign(const char* s, int len);
    OxString& operator+=(const OxString& other) { return append(other); }
    OxString& operator+=(const char* s) { return append(s, WHOLE); }
    OxString& operator+=(char c) { return append(c); }
    OxString& append(const OxString& other);
    OxString& append(const char* s, int len);
    OxString& append(char c);
    // Makes the capacity at least n and the text unshared; the visible text stays.
    void setCapacity(int n) const;
    void eraseWithNewCapacity(int n);
    void clear(int newCapacity = -1);

    OxString substr(int start, int len = -1) const;
    OxString toLower() const;
    OxString toUpper() const;
    OxString trim() const;
    OxString replaceAll(const OxString& search, const OxString& replacement, int ignoreCase) const;
    OxString replaceOnce(const OxString& search, const OxString& replacement, int ignoreCase) const;

    int indexOf(char c, int ignoreCase = 0) const;
    int lastIndexOf(char c, int ignoreCase = 0) const;
    int indexOf(const OxString& s, int ignoreCase = 0) const;
    int indexOfAtOffset(const OxString& s, int offset, int ignoreCase = 0) const;
    bool contains(const OxString& s, int ignoreCase = 0) const;
    bool startsWith(const OxString& s, int ignoreCase = 0) const;
    bool endsWith(const OxString& s, int ignoreCase = 0) const;

    bool isNumber() const;
    bool parseInt(int& out, int start = 0, int len = -1) const;
    int parseIntDef(int def) const;
    // parseInt of the whole text without the wrap: false also for a number outside min..max.
    bool parseIntInRange(int& out, int min, int max) const;
    bool parseHex(unsigned& out, int start = 0, int len = -1) const;
    static int parseIntChar(char c);
    static bool isNumberChar(char c);

    bool equals(const OxString& other) const;
    bool equalsIgnoreCase(const OxString& other) const;
    bool sameAs(const OxString& other, int ignoreCase) const;
    int compareWith(const OxString& other, int ignoreCase) const;
    // Natural order: digit runs compare by value ("port 2" before "port 10"); -1, 0 or 1.
    int compareIndexed(const OxString& other, int ignoreCase) const;

    OxString extractFileName() const;
    OxString extractFileDir() const;
    OxString extractFileExtension() const;
    OxString removeFileExtension() const;
    OxString extractFileNameWithoutExtension() const;
    OxString changeFileExt(const OxString& ext) const;

private:
    // constexpr so that `empty` is constant-initialised: statics of other files may copy it
    // before any dynamic initialiser has run.
    constexpr explicit OxString(OxStringContainer* container) : c(container) {}
    static OxStringContainer* allocate(int capacity);
    char* writableText();
    void makeUnshared(int minCapacity) const;
    // Appends n bytes behind the first `used` bytes, which the caller knows to be the
    // whole text, and advances `used`: building a text needs no length scans.
    void appendAt(int& used, const char* s, int n);
    int extensionDot() const;

    // mutable for setCapacity(), which changes the storage but not the text
    mutable OxStringContainer* c;

    friend OxString OxString_format(const char* fmt, va_list args);
    friend OxString OxString_format_impl(const char* fmt, va_list args, int bufferSize, int& ok);
    friend OxString operator+(OxString a, const OxString& b);
    friend OxString operator+(OxString a, const char* b);
    friend OxString operator+(const char* a, const OxString& b);
};

bool operator==(const OxString& a, const char* b);
inline bool operator==(const OxString& a, const OxString& b) {
    return a.equals(b);
}
inline bool operator!=(const OxString& a, const OxString& b) {
    return !a.equals(b);
}
bool operator<(const OxString& a, const OxString& b);
OxString operator+(OxString a, const OxString& b);
OxString operator+(OxString a, const char* b);
OxString operator+(const char* a, const OxString& b);

// Compares at most maxLen bytes (WHOLE: the whole texts); with ignoreCase after ASCII
// upper-casing, as signed bytes, giving -1, 0 or 1.
int OxString_compare(const unsigned char* a, const unsigned char* b, int ignoreCase, int maxLen);
// Reads the digit run at *p, moves *p past it and returns its value modulo 2^32.
int OxString_getDigits(const unsigned char** p);
// printf-style; text of 32768 bytes or more gives the empty string.
OxString OxString_format(const char* fmt, va_list args);
OxString OxString_format_impl(const char* fmt, va_list args, int bufferSize, int& ok);

} // namespace Lk
