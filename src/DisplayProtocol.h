#pragma once

#include "platform/OxString.h"

#include <array>

// The module's display protocol: its display message (System Exclusive F0 77 <line 1>
// <line 2> 75 F7, characters in the module's own code table) and Program Changes on the
// receive channel, turned into the two lines of eight characters that the module shows.

constexpr int kProgramCount = 128;
constexpr int kDisplayColumns = 8;
constexpr int kReceiveChannelOmni = -1;

using ProgramNames = std::array<Lk::OxString, kProgramCount>;

struct DisplayLines {
    Lk::OxString line1;
    Lk::OxString line2;
};

// What a received message asks the display to do.
struct DisplayEvent {
    enum class Kind { ignored, showText, showProgram };
    Kind kind = Kind::ignored;
    DisplayLines lines; // showText
    int program = -1;   // showProgram: 0..127
};

// One code of the module's character table as a one-character text.
Lk::OxString getFennicChar(unsigned char code);

// Classifies a complete MIDI message. receiveChannel is 0..15, or kReceiveChannelOmni.
DisplayEvent classifyDisplayMessage(const unsigned char* data, int length, int receiveChannel);

// The two lines that show a program: its stored name in capitals, or "PROGRAM 001" ..
// "PROGRAM 128" when it has none; eight characters a line, counted in UTF-8 characters
// when the name is valid UTF-8 and in bytes otherwise. False, and nothing to show, outside
// 0..127.
bool formatProgramLines(int program, const ProgramNames& names, DisplayLines& lines);
