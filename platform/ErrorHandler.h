#pragma once

#include <cstdarg>

namespace Lk {

// Kind of a diagnostic message, 0 to 3; selects the prefix of its line.
using EH_OutputType = int;
constexpr EH_OutputType EH_OUTPUT_ERROR = 2;

extern const char* const OUTPUT_TYPE_PREFIX[4];

// Writes one line "<ms>-<thread>: <prefix><text>" to the standard error stream with a
// single write, so lines of several threads do not mix.
void EH_output(EH_OutputType type, const char* text);
// printf-style EH_output; a message of 32768 bytes or more is dropped.
void EH_out(EH_OutputType type, const char* format, ...) __attribute__((format(printf, 2, 3)));
// Named apart from EH_out: as an overload, EH_out(type, "%d", 0) would take the 0 for a
// va_list.
void EH_vout(EH_OutputType type, const char* format, va_list args)
    __attribute__((format(printf, 2, 0)));
// One attempt with a buffer of bufferSize bytes: writes the message and returns 1 when it
// fits, else returns 0 and writes nothing.
int EH_out_impl(EH_OutputType type, const char* format, va_list args, int bufferSize)
    __attribute__((format(printf, 2, 0)));

// Marks places that must not be reached; does nothing.
inline void oxassert(int /*condition*/) {}

} // namespace Lk
