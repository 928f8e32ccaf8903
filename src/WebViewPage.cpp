#include "src/WebViewContent.h"

// A plain page until the display's look is drawn: the two lines as text, updated live.
std::string webViewPage(const WebViewState&, const std::string& nonce) {
    return "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>DOKA</title>"
           "<style nonce=\"" + nonce + "\">body{background:#111;color:#fb0}</style></head><body>"
           "<pre id=\"l1\"></pre><pre id=\"l2\"></pre><script nonce=\"" + nonce + "\">"
           "new EventSource('/events').onmessage=e=>{const s=JSON.parse(e.data);"
           "document.getElementById('l1').textContent=s.line1;"
           "document.getElementById('l2').textContent=s.line2;};</script></body></html>";
}
