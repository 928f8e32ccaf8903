#include "src/DisplayProtocol.h"

#include "platform/OxUnicodeUtils.h"

namespace {

constexpr unsigned char kSysExStart = 0xF0;
constexpr unsigned char kSysExEnd = 0xF7;
constexpr unsigned char kDisplayMessageId = 0x77;
constexpr unsigned char kDisplayMessageEnd = 0x75;
constexpr int kLine1First = 2;
constexpr int kLine2First = kLine1First + kDisplayColumns;

char fennicCharacter(unsigned char code) {
    if (code == 0)
        return ' ';
    if (code <= 26)
        return static_cast<char>('A' + code - 1);
    if (code <= 46)
        return static_cast<char>('0' + (code - 27) / 2); // two codes per digit
    switch (code) {
    case 47:
        return '+';
    case 48:
        return '-';
    case 49:
        return '*';
    case 50:
        return '/';
    case 51:
        return '\\';
    case 52:
        return '>';
    case 53:
        return '<';
    case 54:
        return '.';
    case 55:
        return '_';
    case 56:
    case 57:
    case 58:
        return '|';
    default:
        break;
    }
    if (code <= 81)
        return ' ';
    if (code >= 100 && code <= 109)
        return static_cast<char>('0' + code - 100);
    return 'e';
}

// Characters from `first` up to eight of them, never into the two closing bytes.
Lk::OxString decodeLine(const unsigned char* data, int length, int first) {
    Lk::OxString line = Lk::OxString::withCapacity(kDisplayColumns);
    for (int i = first; i < first + kDisplayColumns && i + 3 <= length; ++i)
        line += fennicCharacter(data[i]);
    return line;
}

bool isDisplayMessage(const unsigned char* data, int length) {
    return length >= 4 && data[0] == kSysExStart && data[1] == kDisplayMessageId &&
           data[length - 2] == kDisplayMessageEnd && data[length - 1] == kSysExEnd;
}

// Where the text stands `count` characters after byte `pos`. A character is one UTF-8
// sequence when the whole text is valid UTF-8, else one byte (such text is shown as Latin-1).
int afterCharacters(const Lk::OxString& text, int pos, int count, bool utf8) {
    const int length = text.length();
    for (int k = 0; k < count && pos < length; ++k) {
        ++pos;
        while (utf8 && pos < length && (static_cast<unsigned char>(text[pos]) & 0xC0) == 0x80)
            ++pos;
    }
    return pos;
}

} // namespace

Lk::OxString getFennicChar(unsigned char code) {
    return Lk::OxString::fromChar(fennicCharacter(code));
}

DisplayEvent classifyDisplayMessage(const unsigned char* data, int length, int receiveChannel) {
    DisplayEvent event;
    if (data == nullptr || length <= 0)
        return event;
    if (isDisplayMessage(data, length)) {
        event.kind = DisplayEvent::Kind::showText;
        event.lines.line1 = decodeLine(data, length, kLine1First);
        event.lines.line2 = decodeLine(data, length, kLine2First);
        return event;
    }
    // The program number is a data byte; a status byte in its place is no Program Change.
    const bool programChange = length == 2 && (data[0] & 0xF0) == 0xC0 && data[1] < 0x80;
    if (programChange && (receiveChannel < 0 || (data[0] & 0x0F) == receiveChannel)) {
        event.kind = DisplayEvent::Kind::showProgram;
        event.program = data[1];
    }
    return event;
}

bool formatProgramLines(int program, const ProgramNames& names, DisplayLines& lines) {
    if (static_cast<unsigned>(program) >= static_cast<unsigned>(kProgramCount))
        return false;
    Lk::OxString name = names[program].toUpper();
    if (name.isEmpty())
        name = Lk::OxString::format("PROGRAM %03d", program + 1);
    // Eight characters a line, never cut inside a character.
    const bool utf8 = Lk::OxUnicodeUtils::isValidUTF8(name.c_str(), name.length());
    const int line1End = afterCharacters(name, 0, kDisplayColumns, utf8);
    const int line2End = afterCharacters(name, line1End, kDisplayColumns, utf8);
    lines.line1 = name.substr(0, line1End);
    lines.line2 = name.substr(line1End, line2End - line1End);
    return true;
}
