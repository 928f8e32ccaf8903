#include "src/WebViewContent.h"
#include "src/Utf8Sequence.h"

#include <cstdio>

bool WebViewState::operator==(const WebViewState& other) const {
    return line1 == other.line1 && line2 == other.line2 && program == other.program &&
           channel == other.channel && input == other.input;
}

namespace {

void appendJsonString(std::string& out, const std::string& text) {
    out += '"';
    for (size_t i = 0; i < text.size();) {
        const size_t length = validUtf8SequenceLength(text, i);
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
