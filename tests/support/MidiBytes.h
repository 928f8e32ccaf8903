#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace dokatest {

using Bytes = std::vector<unsigned char>;

// A System Exclusive message of `length` bytes in all (F0 ... F7, at least 2), its data
// counting up from `first` so that a lost or moved byte shows; after every 127 bytes the
// count skips one, so that no two pieces of a long message (up to 16 kB apart) look alike.
inline Bytes sysex(size_t length, unsigned char first = 0) {
    Bytes message(std::max<size_t>(length, 2));
    message.front() = 0xF0;
    for (size_t i = 1; i + 1 < message.size(); ++i)
        message[i] = static_cast<unsigned char>((first + i - 1 + (i - 1) / 127) & 0x7F);
    message.back() = 0xF7;
    return message;
}

// The messages one after another, as they pass on a wire.
inline Bytes joined(const std::vector<Bytes>& messages) {
    Bytes stream;
    for (const Bytes& message : messages)
        stream.insert(stream.end(), message.begin(), message.end());
    return stream;
}

inline std::string hex(const Bytes& bytes, size_t from = 0, size_t count = SIZE_MAX) {
    std::string text;
    char cell[4];
    for (size_t i = from; i < bytes.size() && i - from < count; ++i) {
        std::snprintf(cell, sizeof cell, i == from ? "%02X" : " %02X", bytes[i]);
        text += cell;
    }
    return text;
}

// EXPECT_TRUE(sameBytes(got, expected)): on a mismatch, the sizes, the offset of the first
// difference and the bytes around it on both sides.
inline testing::AssertionResult sameBytes(const Bytes& got, const Bytes& expected) {
    const auto mismatch = std::mismatch(got.begin(), got.end(), expected.begin(), expected.end());
    if (mismatch.first == got.end() && mismatch.second == expected.end())
        return testing::AssertionSuccess();
    const size_t at = static_cast<size_t>(mismatch.first - got.begin());
    const size_t from = at < 8 ? 0 : at - 8;
    return testing::AssertionFailure()
           << got.size() << " bytes instead of " << expected.size() << ", first difference at "
           << at << "\n   got [" << from << "...]: " << hex(got, from, 24) << "\n  want [" << from
           << "...]: " << hex(expected, from, 24);
}

} // namespace dokatest
