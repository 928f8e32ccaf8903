#include "src/DisplayLog.h"

#include "platform/OxUtils.h"

namespace {

const char* const PREFIX = "DISPLAY ";

void appendQuoted(std::string& out, const Lk::OxString& text) {
    static const char HEX[] = "0123456789ABCDEF";
    out += '"';
    for (const char* p = text.c_str(); *p != 0; ++p) {
        const auto byte = static_cast<unsigned char>(*p);
        if (byte == '"' || byte == '\\') {
            out += '\\';
            out += *p;
        } else if (byte < 0x20 || byte == 0x7F) {
            out += "\\x";
            out += HEX[byte >> 4];
            out += HEX[byte & 0x0F];
        } else {
            out += *p;
        }
    }
    out += '"';
}

// Reads one quoted text starting at `pos`; leaves `pos` after its closing quote.
bool readQuoted(const std::string& text, size_t& pos, std::string& out) {
    if (pos >= text.size() || text[pos] != '"')
        return false;
    for (++pos; pos < text.size(); ++pos) {
        const char c = text[pos];
        if (c == '"') {
            ++pos;
            return true;
        }
        if (c != '\\') {
            out += c;
            continue;
        }
        if (++pos >= text.size())
            return false;
        if (text[pos] == '"' || text[pos] == '\\') {
            out += text[pos];
        } else if (text[pos] == 'x' && pos + 2 < text.size() &&
                   Lk::oxhexvalue(text[pos + 1]) >= 0 && Lk::oxhexvalue(text[pos + 2]) >= 0) {
            out += static_cast<char>(Lk::oxhexvalue(text[pos + 1]) * 16 +
                                     Lk::oxhexvalue(text[pos + 2]));
            pos += 2;
        } else {
            return false;
        }
    }
    return false;
}

} // namespace

std::string formatDisplayLog(const DisplayLines& lines) {
    std::string out = PREFIX;
    appendQuoted(out, lines.line1);
    out += ' ';
    appendQuoted(out, lines.line2);
    return out;
}

bool parseDisplayLog(const std::string& text, DisplayLines& lines) {
    const std::string prefix = PREFIX;
    if (text.compare(0, prefix.size(), prefix) != 0)
        return false;
    size_t pos = prefix.size();
    std::string line1;
    std::string line2;
    if (!readQuoted(text, pos, line1) || pos >= text.size() || text[pos++] != ' ' ||
        !readQuoted(text, pos, line2) || pos != text.size())
        return false;
    lines = DisplayLines{Lk::OxString(line1.c_str(), static_cast<int>(line1.size())),
                         Lk::OxString(line2.c_str(), static_cast<int>(line2.size()))};
    return true;
}

void DisplayLogWriter::shown(const DisplayLines& lines) {
    if (written && lines.line1 == last.line1 && lines.line2 == last.line2)
        return;
    written = true;
    last = lines;
    out.write(formatDisplayLog(lines));
}
