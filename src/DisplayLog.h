#pragma once

#include "src/DisplayProtocol.h"
#include "src/LineOutput.h"

#include <string>

// The display as text lines for a terminal or another program ("--print-display"): one line
// per change,
//     DISPLAY "<line 1>" "<line 2>"
// each line in double quotes, in which a double quote and a backslash are preceded by a
// backslash and bytes below 0x20 and 0x7F are written \xHH (two hex digits). Other bytes,
// UTF-8 included, are written as they are, blanks too.
std::string formatDisplayLog(const DisplayLines& lines);
// Reads a line written by formatDisplayLog (without its line break); false for anything else.
bool parseDisplayLog(const std::string& text, DisplayLines& lines);

// Writes each change as one line at once, so that a reader at the other end of a pipe sees
// it when it is shown; a reader that does not read never holds up the display.
class DisplayLogWriter {
public:
    explicit DisplayLogWriter(LineOutput& out) : out(out) {}
    // Writes the lines unless they are the ones written last.
    void shown(const DisplayLines& lines);

private:
    LineOutput& out;
    bool written = false;
    DisplayLines last;
};
