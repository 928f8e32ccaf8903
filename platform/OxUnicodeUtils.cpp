#include "platform/OxUnicodeUtils.h"

namespace Lk {

namespace {

int sequenceLength(unsigned char lead) {
    if (lead < 0x80)
        return 1;
    if ((lead & 0xE0) == 0xC0)
        return 2;
    if ((lead & 0xF0) == 0xE0)
        return 3;
    if ((lead & 0xF8) == 0xF0)
        return 4;
    return 1; // stray continuation byte or 0xF8..0xFF: stands for itself
}

} // namespace

int OxUnicodeUtils::convert8to32(const unsigned char* in, int maxBytes, unsigned* out) {
    // An empty budget allows no read at all, not even of the lead byte.
    if (in == nullptr || out == nullptr || maxBytes < 1)
        return 0;
    const unsigned char lead = in[0];
    if (lead == 0)
        return 0;
    const int len = sequenceLength(lead);
    if (len > maxBytes)
        return 0;
    if (len == 1) {
        *out = lead;
        return 1;
    }
    static const unsigned char payloadMask[5] = {0, 0, 0x1F, 0x0F, 0x07};
    unsigned cp = lead & payloadMask[len];
    int used = 1;
    for (; used < len; ++used) {
        if (in[used] == 0)
            break; // a NUL ends the character early; it then ends the text
        cp = (cp << 6) | (in[used] & 0x3F);
    }
    *out = used == 1 ? lead : cp;
    return used;
}

int OxUnicodeUtils::convert8to32(const unsigned char* in, unsigned* out, int maxBytes) {
    if (in == nullptr)
        return 0;
    int count = 0;
    int pos = 0;
    while (pos < maxBytes && in[pos] != 0) {
        if (out == nullptr) {
            // Counting only: a tail longer than the budget counts as one character.
            const int len = sequenceLength(in[pos]);
            ++count;
            if (len > maxBytes - pos)
                break;
            int used = 1;
            while (used < len && in[pos + used] != 0)
                ++used;
            pos += used;
            continue;
        }
        unsigned cp = 0;
        const int used = convert8to32(in + pos, maxBytes - pos, &cp);
        if (used == 0)
            break;
        out[count++] = cp;
        pos += used;
    }
    if (out != nullptr)
        out[count] = 0;
    return count;
}

int OxUnicodeUtils::convert32to8(unsigned cp, unsigned char* out) {
    if (cp == 0)
        return 0;
    if (cp < 0x80) {
        out[0] = static_cast<unsigned char>(cp);
        return 1;
    }
    if (cp < 0x800) {
        out[0] = static_cast<unsigned char>(0xC0 | (cp >> 6));
        out[1] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp <= 0xFFFF) {
        out[0] = static_cast<unsigned char>(0xE0 | (cp >> 12));
        out[1] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
        out[2] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
        return 3;
    }
    out[0] = static_cast<unsigned char>(0xF0 | ((cp >> 18) & 0x07));
    out[1] = static_cast<unsigned char>(0x80 | ((cp >> 12) & 0x3F));
    out[2] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
    out[3] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
    return 4;
}

int OxUnicodeUtils::convert32to8(const unsigned* in, unsigned char* out, int count) {
    int bytes = 0;
    unsigned char scratch[4];
    for (int i = 0; in != nullptr && i < count && in[i] != 0; ++i)
        bytes += convert32to8(in[i], out != nullptr ? out + bytes : scratch);
    if (out != nullptr)
        out[bytes] = 0;
    return bytes;
}

bool OxUnicodeUtils::isValidUTF8(const char* text, int length) {
    const auto* in = reinterpret_cast<const unsigned char*>(text);
    for (int pos = 0; pos < length;) {
        const unsigned char lead = in[pos];
        const int len = lead < 0x80 ? 1 : (lead >= 0xC2 && lead <= 0xF4 ? sequenceLength(lead) : 0);
        if (len == 0 || len > length - pos)
            return false;
        unsigned cp = lead & (0x7F >> len); // the payload bits of the lead byte
        for (int k = 1; k < len; ++k) {
            if ((in[pos + k] & 0xC0) != 0x80)
                return false;
            cp = (cp << 6) | (in[pos + k] & 0x3F);
        }
        static const unsigned smallest[5] = {0, 0, 0x80, 0x800, 0x10000};
        if ((len > 1 && cp < smallest[len]) || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF)
            return false;
        pos += len;
    }
    return true;
}

} // namespace Lk
