#pragma once

namespace Lk {

// UTF-8 <-> UTF-32 conversions of the string type. Malformed input is decoded leniently:
// stray continuation bytes and 0xF8..0xFF stand for the code point of their own value.
class OxUnicodeUtils {
public:
    // Decodes one character; returns the bytes consumed, 0 at a NUL or when the sequence
    // is longer than maxBytes.
    static int convert8to32(const unsigned char* in, int maxBytes, unsigned* out);
    // Decodes up to maxBytes bytes, stopping at a NUL; returns the number of code points.
    // out may be null to count only; otherwise a terminating 0 follows the last one.
    static int convert8to32(const unsigned char* in, unsigned* out, int maxBytes);
    // Encodes one code point; returns the bytes written (0 for code point 0).
    static int convert32to8(unsigned cp, unsigned char* out);
    // Encodes up to count code points, stopping at a 0; returns the number of bytes.
    // out may be null to count only; otherwise a terminating NUL follows.
    static int convert32to8(const unsigned* in, unsigned char* out, int count);
    // True for well-formed UTF-8 only: no stray or missing continuation bytes, no overlong
    // forms, no surrogates, nothing above U+10FFFF.
    static bool isValidUTF8(const char* text, int length);
};

} // namespace Lk
