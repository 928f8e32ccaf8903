// Fuzzes the display protocol with whatever a MIDI port or a settings file may deliver.
// The first input byte chooses the receive channel (16 and up: omni) and the program; the
// rest is one message, and also a program name. Checked on every input:
// - a display message decodes into two lines of at most eight characters, each the table's
//   glyph of its code; anything else decodes into no text;
// - a Program Change on the receive channel, and nothing else, asks for a program 0..127;
// - the program's two lines hold at most eight characters each, cut the name only between
//   characters and show it from its start, in capitals;
// - those lines in the web view: JSON of valid UTF-8 with every control byte and bracket
//   escaped, and a page of sixteen cells with nothing of the text read as markup.
#include "platform/OxUnicodeUtils.h"
#include "src/DisplayProtocol.h"
#include "src/Utf8Sequence.h"
#include "src/WebViewContent.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "display protocol fault: %s\n", what);
    std::abort();
}

bool isFramedDisplayMessage(const uint8_t* m, size_t n) {
    return n >= 4 && m[0] == 0xF0 && m[1] == 0x77 && m[n - 2] == 0x75 && m[n - 1] == 0xF7;
}

// The line holds the glyphs of the codes from `first`, as many as fit before the closing
// two bytes, eight at most.
void checkDecodedLine(const Lk::OxString& line, const uint8_t* m, size_t n, size_t first) {
    const size_t available = n >= first + 2 ? n - 2 - first : 0;
    const size_t expected = available < kDisplayColumns ? available : kDisplayColumns;
    if (static_cast<size_t>(line.length()) != expected)
        fail("decoded line has the wrong width");
    for (size_t i = 0; i < expected; ++i) {
        const char c = line[static_cast<int>(i)];
        if (c < 0x20 || c > 0x7E)
            fail("decoded line holds a character outside printable ASCII");
        if (getFennicChar(m[first + i])[0] != c)
            fail("decoded character is not the glyph of its code");
    }
}

void checkMessage(const uint8_t* m, size_t n, int channel) {
    const DisplayEvent event = classifyDisplayMessage(m, static_cast<int>(n), channel);
    if (event.kind == DisplayEvent::Kind::showText) {
        if (!isFramedDisplayMessage(m, n))
            fail("a message that is not a display message shows text");
        checkDecodedLine(event.lines.line1, m, n, 2);
        checkDecodedLine(event.lines.line2, m, n, 2 + kDisplayColumns);
        return;
    }
    if (isFramedDisplayMessage(m, n))
        fail("a display message was not recognised");
    const bool programChange =
        n == 2 && (m[0] & 0xF0) == 0xC0 && m[1] < 0x80 && (channel < 0 || (m[0] & 0x0F) == channel);
    if (event.kind == DisplayEvent::Kind::showProgram) {
        if (!programChange || event.program != m[1])
            fail("a message that is not a Program Change on the channel selects a program");
        return;
    }
    if (programChange)
        fail("a Program Change on the channel was ignored");
    if (event.program != -1 || event.lines.line1.isNotEmpty() || event.lines.line2.isNotEmpty())
        fail("an ignored message carries a program or text");
}

int characterCount(const Lk::OxString& text, bool utf8) {
    int count = 0;
    for (int i = 0; i < text.length(); ++i)
        count += !utf8 || (static_cast<unsigned char>(text[i]) & 0xC0) != 0x80;
    return count;
}

size_t occurrences(const std::string& text, const char* part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

void checkWebView(const DisplayLines& lines) {
    WebViewState state;
    state.line1 = lines.line1.c_str();
    state.line2 = lines.line2.c_str();
    const std::string json = webViewJson(state);
    for (size_t i = 0; i < json.size(); i += validUtf8SequenceLength(json, i)) {
        const unsigned char c = static_cast<unsigned char>(json[i]);
        if (validUtf8SequenceLength(json, i) == 0)
            fail("the web view's JSON is not valid UTF-8");
        if (c < 0x20 || c == '<' || c == '>')
            fail("the web view's JSON holds a control byte or a bracket unescaped");
    }
    const std::string page = webViewPage(state, "nonce");
    if (occurrences(page, "<span class=\"cell\">") != 2 * kDisplayColumns ||
        occurrences(page, "<") != occurrences(webViewPage(WebViewState{}, "nonce"), "<"))
        fail("the web view's page reads a line as markup");
}

void checkProgramLines(int program, const uint8_t* bytes, size_t n) {
    static ProgramNames names; // one name set per input; the others stay empty
    names[program] = Lk::OxString(reinterpret_cast<const char*>(bytes), static_cast<int>(n));
    DisplayLines lines;
    if (!formatProgramLines(program, names, lines))
        fail("a program 0..127 has no lines");
    const Lk::OxString shown = names[program].isEmpty()
                                   ? Lk::OxString::format("PROGRAM %03d", program + 1)
                                   : names[program].toUpper();
    names[program] = Lk::OxString();

    const bool utf8 = Lk::OxUnicodeUtils::isValidUTF8(shown.c_str(), shown.length());
    for (const Lk::OxString* line : {&lines.line1, &lines.line2}) {
        if (characterCount(*line, utf8) > kDisplayColumns)
            fail("a program line is wider than the display");
        if (utf8 && !Lk::OxUnicodeUtils::isValidUTF8(line->c_str(), line->length()))
            fail("a program line cuts a character");
    }
    const Lk::OxString both = lines.line1 + lines.line2;
    if (!shown.startsWith(both))
        fail("the program lines do not show the name from its start");
    if (both.length() < shown.length() && characterCount(both, utf8) < 2 * kDisplayColumns)
        fail("the program lines leave room while part of the name is missing");
    if (lines.line2.isNotEmpty() && characterCount(lines.line1, utf8) < kDisplayColumns)
        fail("the second line starts before the first is full");
    checkWebView(lines);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    const int channel = (data[0] & 0x1F) < 16 ? data[0] & 0x0F : kReceiveChannelOmni;
    const int program = data[0] & 0x7F;
    checkMessage(data + 1, size - 1, channel);
    // A settings value ends at its first NUL.
    const void* nul = std::memchr(data + 1, 0, size - 1);
    const size_t nameLength = nul != nullptr
                                  ? static_cast<size_t>(static_cast<const uint8_t*>(nul) - data - 1)
                                  : size - 1;
    checkProgramLines(program, data + 1, nameLength);
    return 0;
}
