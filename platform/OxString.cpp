#include "platform/OxString.h"

#include "platform/OxUnicodeUtils.h"
#include "platform/OxUtils.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace Lk {

struct OxStringOtherRepresentations {
    ~OxStringOtherRepresentations() { std::free(utf32); }
    wchar_t* utf32 = nullptr;
    int units = 0; // including the terminating 0
};

struct OxStringContainer {
    std::atomic<int32_t> refCount;
    OxStringOtherRepresentations* other;
    int32_t capacity; // text bytes, not counting the NUL
    char text[1];
};

namespace {

// The shared empty text. Constant-initialised, so it exists before any static constructor
// runs, and never freed: its reference count is not kept.
OxStringContainer emptyContainer{{1}, nullptr, 0, {0}};

void retain(OxStringContainer* c) {
    if (c != &emptyContainer)
        c->refCount.fetch_add(1, std::memory_order_relaxed);
}

void release(OxStringContainer* c) {
    if (c != &emptyContainer && c->refCount.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        delete c->other;
        std::free(c);
    }
}

bool isShared(const OxStringContainer* c) {
    return c == &emptyContainer || c->refCount.load(std::memory_order_acquire) > 1;
}

int maxInt(int a, int b) {
    return a > b ? a : b;
}
int sign(int v) {
    return v < 0 ? -1 : (v > 0 ? 1 : 0);
}
bool isBlank(unsigned char b) {
    return b >= 1 && b <= 32;
}
bool isDigit(unsigned char b) {
    return b >= '0' && b <= '9';
}

// Length of a text that grows by `add` bytes; refuses sizes an int cannot hold.
int grownLength(int length, int add) {
    if (add > OxString::WHOLE - length)
        throw std::bad_alloc();
    return length + add;
}

// Does p point into the text bytes of c? Such a source must be copied before c changes.
bool pointsInto(const char* p, const OxStringContainer* c) {
    return p >= c->text && p <= c->text + c->capacity;
}

} // namespace

const OxString OxString::empty(&emptyContainer);

OxStringContainer* OxString::allocate(int capacity) {
    if (capacity <= 0)
        capacity = 0;
    if (capacity > INT_MAX - static_cast<int>(sizeof(OxStringContainer)))
        throw std::bad_alloc();
    void* block = std::malloc(offsetof(OxStringContainer, text) + capacity + 1);
    if (block == nullptr)
        throw std::bad_alloc();
    auto* c = static_cast<OxStringContainer*>(block);
    new (&c->refCount) std::atomic<int32_t>(1);
    c->other = nullptr;
    c->capacity = capacity;
    c->text[0] = 0;
    return c;
}

OxString::OxString() : c(&emptyContainer) {}

OxString::OxString(const OxString& other) : c(other.c) {
    retain(c);
}

OxString::OxString(OxString&& other) noexcept : c(other.c) {
    other.c = &emptyContainer;
}

OxString::OxString(const char* s, int len, int capacity) : c(&emptyContainer) {
    const int n = maxInt(oxstrlen(s, len), 0);
    const int cap = maxInt(n, capacity);
    if (cap <= 0)
        return;
    c = allocate(cap);
    if (n > 0)
        std::memcpy(c->text, s, n);
    c->text[n] = 0;
}

OxString::OxString(const wchar_t* s, int len, int capacity) : c(&emptyContainer) {
    const auto* in = reinterpret_cast<const unsigned*>(s);
    const int bytes = s != nullptr ? OxUnicodeUtils::convert32to8(in, nullptr, len) : 0;
    const int cap = maxInt(bytes, capacity);
    if (cap <= 0)
        return;
    c = allocate(cap);
    if (bytes > 0)
        OxUnicodeUtils::convert32to8(in, reinterpret_cast<unsigned char*>(c->text), len);
}

OxString::~OxString() {
    release(c);
}

OxString OxString::withCapacity(int capacity) {
    return capacity > 0 ? OxString(allocate(capacity)) : OxString();
}

OxString OxString::fromChar(char ch) {
    const char text[2] = {ch, 0};
    return OxString(text, 1);
}

OxString OxString::fromInt(int v) {
    char text[12];
    char* p = text + sizeof(text);
    *--p = 0;
    unsigned magnitude = v < 0 ? 0u - static_cast<unsigned>(v) : static_cast<unsigned>(v);
    do {
        *--p = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (v < 0)
        *--p = '-';
    return OxString(p);
}

OxString OxString::toHex(unsigned v, int minDigits) {
    static const char digits[] = "0123456789ABCDEF";
    if (minDigits < 1)
        minDigits = 1;
    if (minDigits > 8)
        minDigits = 8;
    char text[9];
    int n = 8;
    text[n] = 0;
    do {
        text[--n] = digits[v & 0xF];
        v >>= 4;
    } while (v != 0);
    while (8 - n < minDigits)
        text[--n] = '0';
    return OxString(text + n);
}

OxString OxString::format(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    OxString result = OxString_format(fmt, args);
    va_end(args);
    return result;
}

const char* OxString::c_str() const {
    return c->text;
}

int OxString::length() const {
    return static_cast<int>(std::strlen(c->text));
}

int OxString::capacity() const {
    return c->capacity;
}

const wchar_t* OxString::toWChar() const {
    static const wchar_t emptyUtf32[1] = {0};
    if (c->text[0] == 0)
        return emptyUtf32; // the shared empty text is never written, not even its cache
    const auto* text = reinterpret_cast<const unsigned char*>(c->text);
    if (c->other == nullptr)
        c->other = new OxStringOtherRepresentations();
    OxStringOtherRepresentations& other = *c->other;
    // The budget includes the NUL slot, so a sequence cut short by the end of the text is
    // always ended by the NUL and never depends on spare capacity behind it.
    const int budget = c->capacity + 1;
    const int count = OxUnicodeUtils::convert8to32(text, nullptr, budget);
    if (other.units < count + 1) {
        std::free(other.utf32);
        other.utf32 = static_cast<wchar_t*>(std::malloc(sizeof(wchar_t) * (count + 1)));
        if (other.utf32 == nullptr) {
            other.units = 0;
            throw std::bad_alloc();
        }
        other.units = count + 1;
    }
    OxUnicodeUtils::convert8to32(text, reinterpret_cast<unsigned*>(other.utf32), budget);
    return other.utf32;
}

OxString& OxString::operator=(const OxString& other) {
    if (c != other.c) {
        retain(other.c);
        release(c);
        c = other.c;
    }
    return *this;
}

OxString& OxString::operator=(OxString&& other) noexcept {
    if (this != &other) {
        release(c);
        c = other.c;
        other.c = &emptyContainer;
    }
    return *this;
}

char* OxString::writableText() {
    return c->text;
}

void OxString::makeUnshared(int minCapacity) const {
    if (!isShared(c) && c->capacity >= minCapacity)
        return;
    OxStringContainer* fresh = allocate(minCapacity);
    std::strncpy(fresh->text, c->text, minCapacity);
    fresh->text[minCapacity] = 0;
    release(c);
    c = fresh;
}

void OxString::setCapacity(int n) const {
    makeUnshared(maxInt(c->capacity, n));
}

void OxString::eraseWithNewCapacity(int n) {
    if (!isShared(c) && c->capacity >= n) {
        c->text[0] = 0;
        return;
    }
    release(c);
    c = n > 0 ? allocate(n) : &emptyContainer;
}

void OxString::clear(int newCapacity) {
    if (newCapacity >= 0) {
        eraseWithNewCapacity(newCapacity);
    } else if (isShared(c)) {
        release(c);
        c = &emptyContainer;
    } else {
        c->text[0] = 0;
    }
}

OxString& OxString::assign(const char* s, int len) {
    if (s != nullptr && pointsInto(s, c))
        return *this = OxString(s, len);
    const int n = maxInt(oxstrlen(s, len), 0);
    eraseWithNewCapacity(n);
    if (n > 0) {
        std::memcpy(c->text, s, n);
        c->text[n] = 0;
    }
    return *this;
}

OxString& OxString::append(const OxString& other) {
    if (other.isEmpty())
        return *this;
    const OxString keep(other); // keeps the source alive when it is this very string
    const int len = length();
    const int add = keep.length();
    // Growth is exact: the container is sized to the new length, no spare room.
    makeUnshared(grownLength(len, add));
    std::memcpy(c->text + len, keep.c->text, add);
    c->text[len + add] = 0;
    return *this;
}

OxString& OxString::append(const char* s, int len) {
    if (len < 1 || s == nullptr)
        return *this;
    if (pointsInto(s, c))
        return append(OxString(s, len));
    const int add = oxstrlen(s, len);
    if (add <= 0)
        return *this;
    const int oldLen = length();
    makeUnshared(grownLength(oldLen, add));
    std::memcpy(c->text + oldLen, s, add);
    c->text[oldLen + add] = 0;
    return *this;
}

void OxString::appendAt(int& used, const char* s, int n) {
    if (n <= 0)
        return;
    makeUnshared(used + n);
    std::memcpy(c->text + used, s, n);
    used += n;
    c->text[used] = 0;
}

OxString& OxString::append(char ch) {
    if (ch == 0)
        return *this;
    const char text[2] = {ch, 0};
    return append(text, 1);
}

OxString OxString::substr(int start, int len) const {
    if (len == 0 || start < 0)
        return OxString();
    const int total = length();
    if (start > 0 && start >= total)
        return OxString();
    const int rest = total - start;
    const int n = (len < 0 || len > rest) ? rest : len;
    if (start == 0 && n == total)
        return *this;
    return OxString(c->text + start, n);
}

OxString OxString::toLower() const {
    OxString result(c_str());
    oxtolower(result.writableText());
    return result;
}

OxString OxString::toUpper() const {
    OxString result(c_str());
    oxtoupper(result.writableText());
    return result;
}

OxString OxString::trim() const {
    const auto* text = reinterpret_cast<const unsigned char*>(c->text);
    int begin = 0;
    while (isBlank(text[begin]))
        ++begin;
    if (text[begin] == 0)
        return OxString();
    int end = begin + static_cast<int>(std::strlen(c->text + begin));
    while (end > begin && isBlank(text[end - 1]))
        --end;
    if (begin == 0 && text[end] == 0)
        return *this;
    return OxString(c->text + begin, end - begin);
}

OxString OxString::replaceAll(const OxString& search, const OxString& replacement,
                              int ignoreCase) const {
    if (search.isEmpty())
        return *this;
    const int total = length();
    const int searchLen = search.length();
    const long long reserve = total + 4LL * searchLen;
    OxString result = OxString::withCapacity(reserve < WHOLE ? static_cast<int>(reserve) : total);
    const int replacementLen = replacement.length();
    int used = 0;
    int pos = 0;
    while (pos < total) {
        const int match = indexOfAtOffset(search, pos, ignoreCase);
        if (match < 0)
            break;
        result.appendAt(used, c->text + pos, match - pos);
        result.appendAt(used, replacement.c->text, replacementLen);
        pos = match + searchLen;
    }
    if (pos < total)
        result.appendAt(used, c->text + pos, total - pos);
    return result;
}

OxString OxString::replaceOnce(const OxString& search, const OxString& replacement,
                               int ignoreCase) const {
    const int match = indexOf(search, ignoreCase);
    if (match < 0)
        return *this;
    OxString result(c->text, match);
    result.append(replacement);
    result.append(c->text + match + search.length(), WHOLE);
    return result;
}

int OxString::indexOf(char ch, int ignoreCase) const {
    const char wanted = ignoreCase ? oxtoupper(ch) : ch;
    for (int i = 0; c->text[i] != 0; ++i)
        if ((ignoreCase ? oxtoupper(c->text[i]) : c->text[i]) == wanted)
            return i;
    return -1;
}

int OxString::lastIndexOf(char ch, int ignoreCase) const {
    const char wanted = ignoreCase ? oxtoupper(ch) : ch;
    int found = -1;
    for (int i = 0; c->text[i] != 0; ++i)
        if ((ignoreCase ? oxtoupper(c->text[i]) : c->text[i]) == wanted)
            found = i;
    return found;
}

int OxString::indexOf(const OxString& s, int ignoreCase) const {
    if (s.isEmpty())
        return -1;
    if (ignoreCase)
        return toLower().indexOf(s.toLower(), 0);
    const char* found = std::strstr(c->text, s.c->text);
    return found != nullptr ? static_cast<int>(found - c->text) : -1;
}

int OxString::indexOfAtOffset(const OxString& s, int offset, int ignoreCase) const {
    if (offset < 0 || s.isEmpty() || isEmpty())
        return -1;
    const int total = length();
    const int searchLen = s.length();
    if (offset > total - searchLen)
        return -1;
    if (!ignoreCase) {
        const char* found = std::strstr(c->text + offset, s.c->text);
        return found != nullptr ? static_cast<int>(found - c->text) : -1;
    }
    const auto* text = reinterpret_cast<const unsigned char*>(c->text);
    const auto* wanted = reinterpret_cast<const unsigned char*>(s.c->text);
    for (int pos = offset; pos <= total - searchLen; ++pos)
        if (OxString_compare(text + pos, wanted, 1, searchLen) == 0)
            return pos;
    return -1;
}

bool OxString::contains(const OxString& s, int ignoreCase) const {
    return indexOf(s, ignoreCase) >= 0;
}

bool OxString::startsWith(const OxString& s, int ignoreCase) const {
    if (s.isEmpty())
        return false;
    return OxString_compare(reinterpret_cast<const unsigned char*>(c->text),
                            reinterpret_cast<const unsigned char*>(s.c->text), ignoreCase,
                            s.length()) == 0;
}

bool OxString::endsWith(const OxString& s, int ignoreCase) const {
    const int n = s.length();
    const int total = length();
    if (n == 0 || n > total)
        return false;
    return OxString_compare(reinterpret_cast<const unsigned char*>(c->text + total - n),
                            reinterpret_cast<const unsigned char*>(s.c->text), ignoreCase, n) == 0;
}

bool OxString::isNumber() const {
    const char* p = c->text;
    if (*p == 0)
        return false;
    if (*p == '-')
        ++p;
    for (; *p != 0; ++p)
        if (!isDigit(static_cast<unsigned char>(*p)))
            return false;
    return true;
}

namespace {

// Shared front of parseInt and parseHex: checks the range and skips leading blanks.
// Returns the position of the first byte after them, or -1 when parsing must fail.
int startOfNumber(const char* text, int textLength, int capacity, int start, int len, int& budget) {
    if (start < 0 || (start > 0 && start >= textLength))
        return -1;
    budget = len < 0 ? capacity - start : len;
    if (budget < 1 || text[start] == 0)
        return -1;
    int pos = start;
    while (budget > 0 && isBlank(static_cast<unsigned char>(text[pos]))) {
        ++pos;
        --budget;
    }
    return pos;
}

// The number of parseInt: its sign, and its magnitude both wrapped to 32 bits, as stored
// numbers always were, and exact, held at 2^40 so that it stays past any int.
struct Decimal {
    bool negative = false;
    unsigned wrapped = 0;
    uint64_t exact = 0;
};

bool readDecimal(const char* text, int textLength, int capacity, int start, int len, Decimal& d) {
    int budget = 0;
    int pos = startOfNumber(text, textLength, capacity, start, len, budget);
    if (pos < 0)
        return false;
    d.negative = budget > 0 && text[pos] == '-';
    if (d.negative) {
        ++pos;
        --budget;
    }
    for (; budget > 0; --budget, ++pos) {
        const auto b = static_cast<unsigned char>(text[pos]);
        if (b <= 32)
            break;
        if (!isDigit(b))
            return false;
        d.wrapped = d.wrapped * 10u + (b - '0');
        d.exact = std::min<uint64_t>(d.exact * 10u + (b - '0'), uint64_t(1) << 40);
    }
    return true;
}

} // namespace

bool OxString::parseInt(int& out, int start, int len) const {
    Decimal d;
    if (!readDecimal(c->text, length(), c->capacity, start, len, d))
        return false;
    out = static_cast<int>(d.negative ? 0u - d.wrapped : d.wrapped);
    return true;
}

bool OxString::parseIntInRange(int& out, int min, int max) const {
    Decimal d;
    if (!readDecimal(c->text, length(), c->capacity, 0, -1, d))
        return false;
    const int64_t value =
        d.negative ? -static_cast<int64_t>(d.exact) : static_cast<int64_t>(d.exact);
    if (value < min || value > max)
        return false;
    out = static_cast<int>(value);
    return true;
}

int OxString::parseIntDef(int def) const {
    int value = 0;
    return parseInt(value, 0, -1) ? value : def;
}

bool OxString::parseHex(unsigned& out, int start, int len) const {
    int budget = 0;
    int pos = startOfNumber(c->text, length(), c->capacity, start, len, budget);
    if (pos < 0)
        return false;
    unsigned value = 0;
    for (; budget > 0; --budget, ++pos) {
        const auto b = static_cast<unsigned char>(c->text[pos]);
        if (b <= 32)
            break;
        const int digit = oxhexvalue(b);
        if (digit < 0)
            return false;
        value = value * 16u + static_cast<unsigned>(digit);
    }
    out = value;
    return true;
}

int OxString::parseIntChar(char ch) {
    return isDigit(static_cast<unsigned char>(ch)) ? ch - '0' : -1;
}

bool OxString::isNumberChar(char ch) {
    return isDigit(static_cast<unsigned char>(ch));
}

bool OxString::equals(const OxString& other) const {
    return c == other.c || std::strcmp(c->text, other.c->text) == 0;
}

bool OxString::equalsIgnoreCase(const OxString& other) const {
    return compareWith(other, 1) == 0;
}

bool OxString::sameAs(const OxString& other, int ignoreCase) const {
    return ignoreCase ? equalsIgnoreCase(other) : equals(other);
}

int OxString::compareWith(const OxString& other, int ignoreCase) const {
    return OxString_compare(reinterpret_cast<const unsigned char*>(c->text),
                            reinterpret_cast<const unsigned char*>(other.c->text), ignoreCase,
                            WHOLE);
}

namespace {

int firstDigitOffset(const unsigned char* p) {
    for (int i = 0; p[i] != 0; ++i)
        if (isDigit(p[i]))
            return i;
    return -1;
}

// Compares two digit runs by value without converting them, so any length works:
// leading zeros are skipped, then the longer run is the larger number.
int compareDigitRuns(const unsigned char*& p, const unsigned char*& q) {
    while (*p == '0')
        ++p;
    while (*q == '0')
        ++q;
    int lp = 0;
    int lq = 0;
    while (isDigit(p[lp]))
        ++lp;
    while (isDigit(q[lq]))
        ++lq;
    int result = lp != lq ? (lp < lq ? -1 : 1) : sign(std::memcmp(p, q, lp));
    p += lp;
    q += lq;
    return result;
}

} // namespace

int OxString::compareIndexed(const OxString& other, int ignoreCase) const {
    const auto* p = reinterpret_cast<const unsigned char*>(c->text);
    const auto* q = reinterpret_cast<const unsigned char*>(other.c->text);
    for (;;) {
        if (*p == 0)
            return *q == 0 ? 0 : -1;
        if (*q == 0)
            return 1;
        const int i = firstDigitOffset(p);
        const int j = firstDigitOffset(q);
        if (i != j || i < 0)
            return sign(OxString_compare(p, q, ignoreCase, WHOLE));
        if (i > 0) {
            const int prefix = OxString_compare(p, q, ignoreCase, i);
            if (prefix != 0)
                return sign(prefix);
            p += i;
            q += i;
        }
        const int digits = compareDigitRuns(p, q);
        if (digits != 0)
            return digits;
    }
}

OxString OxString::extractFileName() const {
    const int slash = lastIndexOf('/');
    return slash < 0 ? *this : OxString(c->text + slash + 1);
}

OxString OxString::extractFileDir() const {
    int len = length();
    if (len > 0 && c->text[len - 1] == '/')
        --len;
    int slash = -1;
    for (int i = 0; i < len; ++i)
        if (c->text[i] == '/')
            slash = i;
    if (slash < 0)
        return OxString();
    return slash == 0 ? OxString("/") : OxString(c->text, slash);
}

int OxString::extensionDot() const {
    const int dot = lastIndexOf('.');
    return dot > lastIndexOf('/') ? dot : -1;
}

OxString OxString::extractFileExtension() const {
    const int dot = extensionDot();
    return dot < 0 ? OxString() : OxString(c->text + dot);
}

OxString OxString::removeFileExtension() const {
    const int dot = extensionDot();
    return dot < 0 ? *this : OxString(c->text, dot);
}

OxString OxString::extractFileNameWithoutExtension() const {
    return removeFileExtension().extractFileName();
}

OxString OxString::changeFileExt(const OxString& ext) const {
    return removeFileExtension() + ext;
}

bool operator==(const OxString& a, const char* b) {
    return std::strcmp(a.c_str(), b != nullptr ? b : "") == 0;
}

bool operator<(const OxString& a, const OxString& b) {
    return std::strcmp(a.c_str(), b.c_str()) < 0;
}

namespace {

OxString concat(const char* a, const char* b) {
    const int la = oxstrlen(a);
    const int lb = oxstrlen(b);
    OxString result = OxString::withCapacity(grownLength(la, lb));
    result.append(a, la);
    result.append(b, lb);
    return result;
}

} // namespace

OxString operator+(OxString a, const OxString& b) {
    return concat(a.c_str(), b.c_str());
}
OxString operator+(OxString a, const char* b) {
    return concat(a.c_str(), b);
}
OxString operator+(const char* a, const OxString& b) {
    return concat(a, b.c_str());
}

int OxString_compare(const unsigned char* a, const unsigned char* b, int ignoreCase, int maxLen) {
    if (maxLen == 0)
        return 0;
    const char* x = reinterpret_cast<const char*>(a);
    const char* y = reinterpret_cast<const char*>(b);
    if (!ignoreCase)
        return maxLen == OxString::WHOLE ? oxstrcmp(x, y) : oxstrncmp(x, y, maxLen);
    for (int i = 0; i < maxLen; ++i) {
        if (a[i] == 0)
            return b[i] == 0 ? 0 : -1;
        if (b[i] == 0)
            return 1;
        const auto ua = static_cast<signed char>(oxtoupper(x[i]));
        const auto ub = static_cast<signed char>(oxtoupper(y[i]));
        if (ua != ub)
            return ua < ub ? -1 : 1;
    }
    return 0;
}

int OxString_getDigits(const unsigned char** p) {
    unsigned value = 0;
    while (isDigit(**p)) {
        value = value * 10u + static_cast<unsigned>(**p - '0');
        ++*p;
    }
    return static_cast<int>(value);
}

OxString OxString_format_impl(const char* fmt, va_list args, int bufferSize, int& ok) {
    ok = 0;
    if (fmt == nullptr || bufferSize < 1)
        return OxString();
    char* buffer = static_cast<char*>(std::malloc(bufferSize));
    if (buffer == nullptr)
        return OxString();
    const int n = std::vsnprintf(buffer, bufferSize, fmt, args);
    OxString result;
    if (n >= 0 && n < bufferSize) {
        ok = 1;
        result = OxString(buffer, n);
    }
    std::free(buffer);
    return result;
}

OxString OxString_format(const char* fmt, va_list args) {
    static const int kLargestBuffer = 32768;
    if (fmt == nullptr)
        return OxString();
    // Measures once, then formats straight into a container of the exact size; the
    // result equals trying the buffers of 1024 to 32768 bytes in turn.
    va_list measure;
    va_copy(measure, args);
    const int n = std::vsnprintf(nullptr, 0, fmt, measure);
    va_end(measure);
    if (n <= 0 || n >= kLargestBuffer)
        return OxString();
    OxString result = OxString::withCapacity(n);
    va_list write;
    va_copy(write, args);
    std::vsnprintf(result.c->text, n + 1, fmt, write);
    va_end(write);
    return result;
}

} // namespace Lk
