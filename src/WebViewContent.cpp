#include "src/WebViewContent.h"

#include <cstdio>

bool WebViewState::operator==(const WebViewState& other) const {
    return line1 == other.line1 && line2 == other.line2 && program == other.program &&
           channel == other.channel && input == other.input;
}

namespace {

// The length of the valid UTF-8 sequence at text[i], or 0 when the bytes there are not one.
size_t validSequenceLength(const std::string& text, size_t i) {
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    if (lead < 0x80)
        return 1;
    size_t length = lead >= 0xC2 && lead <= 0xDF ? 2 : lead >= 0xE0 && lead <= 0xEF ? 3
                    : lead >= 0xF0 && lead <= 0xF4                                   ? 4
                                                                                     : 0;
    if (length == 0 || i + length > text.size())
        return 0;
    for (size_t k = 1; k < length; ++k)
        if ((byte(i + k) & 0xC0) != 0x80)
            return 0;
    const unsigned char second = byte(i + 1);
    // Overlong forms, UTF-16 surrogates and code points past U+10FFFF.
    if ((lead == 0xE0 && second < 0xA0) || (lead == 0xED && second > 0x9F) ||
        (lead == 0xF0 && second < 0x90) || (lead == 0xF4 && second > 0x8F))
        return 0;
    return length;
}

void appendJsonString(std::string& out, const std::string& text) {
    out += '"';
    for (size_t i = 0; i < text.size();) {
        const size_t length = validSequenceLength(text, i);
        const char c = text[i];
        if (length == 0) {
            out += "\\ufffd";
            ++i;
            continue;
        }
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F || c == '<' || c == '>' ||
                   c == '&') {
            // Control bytes, and what could end a script or start markup, as \u escapes.
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned char>(c));
            out += escaped;
        } else {
            out.append(text, i, length);
        }
        i += length;
    }
    out += '"';
}

} // namespace

std::string webViewJson(const WebViewState& state) {
    std::string json = "{\"line1\":";
    appendJsonString(json, state.line1);
    json += ",\"line2\":";
    appendJsonString(json, state.line2);
    json += ",\"program\":";
    json += state.program >= 0 && state.program < kProgramCount ? std::to_string(state.program + 1)
                                                                : "null";
    json += ",\"channel\":";
    json += state.channel >= 0 && state.channel < 16 ? std::to_string(state.channel + 1)
                                                     : "\"omni\"";
    json += ",\"input\":";
    appendJsonString(json, state.input);
    json += '}';
    return json;
}

std::string webViewEvent(const WebViewState& state) {
    return "data: " + webViewJson(state) + "\n\n";
}

std::string webViewContentSecurityPolicy(const std::string& nonce) {
    return "default-src 'none'; style-src 'nonce-" + nonce + "'; script-src 'nonce-" + nonce +
           "'; connect-src 'self'; img-src 'none'; base-uri 'none'; form-action 'none'; "
           "frame-ancestors 'none'";
}
