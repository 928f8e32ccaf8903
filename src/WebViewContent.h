#pragma once

#include "src/DisplayProtocol.h"

#include <string>

// What the web view shows: the display's two lines and, underneath, the receive channel and
// the input port's state. Made on the message thread, read by the web server's threads.
struct WebViewState {
    std::string line1; // as the display shows them, UTF-8 (invalid bytes are shown as U+FFFD)
    std::string line2;
    int program = -1;                      // the last Program Change shown, 0..127; -1 none
    int channel = kReceiveChannelOmni;     // 0..15, or omni
    std::string input = "no port chosen";  // the input's state in the port dialog's words

    bool operator==(const WebViewState& other) const;
    bool operator!=(const WebViewState& other) const { return !(*this == other); }
};

// For tools, "/display.json": {"line1":"…","line2":"…","program":1..128|null,
// "channel":1..16|"omni","input":"open"|…}, escaped as JSON wants it.
std::string webViewJson(const WebViewState& state);
// One Server-Sent Event carrying the JSON above: "data: {…}\n\n".
std::string webViewEvent(const WebViewState& state);
// The page, with the state already in it (escaped as HTML) so that it shows before its
// script runs; its one style and one script carry `nonce`.
std::string webViewPage(const WebViewState& state, const std::string& nonce);
// The Content-Security-Policy header that goes with the page: nothing but its own style and
// script (by `nonce`) and connections back to where it came from.
std::string webViewContentSecurityPolicy(const std::string& nonce);
