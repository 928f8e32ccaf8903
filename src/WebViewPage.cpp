#include "src/Utf8Sequence.h"
#include "src/WebViewContent.h"

#include <utility>

namespace {

// The module's face: two lines of eight dark cells with amber characters, as wide as the
// screen allows while it stays whole in either orientation; the channel and the input's
// state underneath. The script takes each new state from "/events" and, when the program
// went away, keeps asking for it again. {{name}} marks where the server puts its values.
const char* const kPageTemplate = R"PAGE(<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>DOKA</title>
<style nonce="{{nonce}}">
:root{--cell:min(10vw,19vh);color-scheme:dark}
@supports (height:1dvh){:root{--cell:min(10vw,19dvh)}}
html,body{margin:0;background:#0c0b0a;overflow-x:hidden}
body{min-height:100vh;min-height:100dvh;display:flex;flex-direction:column;align-items:center;
 justify-content:center;gap:min(3vh,4vw);font-family:system-ui,sans-serif;color:#a39a8c}
.display{display:grid;grid-template-columns:repeat(8,var(--cell));
 grid-auto-rows:calc(var(--cell)*1.45);gap:calc(var(--cell)*.12);
 padding:calc(var(--cell)*.3);border-radius:calc(var(--cell)*.18);background:#040302;
 box-shadow:0 0 0 calc(var(--cell)*.07) #2b2620,0 1vh 5vh #000}
.cell{background:#1e1608;border-radius:calc(var(--cell)*.06);overflow:hidden;
 white-space:pre;text-align:center;color:#ffb42a;
 font:bold calc(var(--cell)*1.25)/calc(var(--cell)*1.45) ui-monospace,"DejaVu Sans Mono",
 "Liberation Mono",Menlo,Consolas,monospace;
 text-shadow:0 0 .08em #ff9a00,0 0 .35em rgba(255,140,0,.45)}
.status{display:flex;flex-wrap:wrap;justify-content:center;gap:0 1.5em;margin:0 1em;
 font-size:clamp(14px,min(3.6vw,4.5vh),26px)}
#connection{color:#ffb42a}
[hidden]{display:none}
</style></head><body>
<div class="display">{{cells}}</div>
<p class="status"><span id="channel">{{channel}}</span><span id="input">{{input}}</span>
<span id="connection" hidden>reconnecting…</span></p>
<script nonce="{{nonce}}">
const cells = document.querySelectorAll('.cell');
const byId = id => document.getElementById(id);
function show(state) {
  [state.line1, state.line2].forEach((line, row) => {
    const chars = Array.from(line.replace(/[\x00-\x1f\x7f]/g, '\ufffd'));
    for (let i = 0; i < 8; i++) cells[row * 8 + i].textContent = chars[i] || ' ';
  });
  byId('channel').textContent = 'Channel ' + state.channel;
  byId('input').textContent = 'MIDI input: ' + state.input;
}
function connect() {
  const events = new EventSource('/events');
  events.onopen = () => { byId('connection').hidden = true; };
  events.onmessage = message => show(JSON.parse(message.data));
  events.onerror = () => {
    byId('connection').hidden = false;
    if (events.readyState === EventSource.CLOSED) setTimeout(connect, 1000);
  };
}
connect();
</script></body></html>
)PAGE";

const char* const kReplacementCharacter = "\xEF\xBF\xBD";

std::string escapedHtml(const std::string& text) {
    std::string out;
    for (const char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\'':
            out += "&#39;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

// One cell per character, as the display has them: counted in UTF-8 characters, padded
// with blanks and cut at eight. A byte that is not UTF-8, and a control character, which
// has no glyph, show as U+FFFD (so does the script).
void appendCells(std::string& out, const std::string& line) {
    size_t i = 0;
    for (int column = 0; column < kDisplayColumns; ++column) {
        std::string character = " ";
        if (i < line.size()) {
            const size_t length = validUtf8SequenceLength(line, i);
            const unsigned char lead = static_cast<unsigned char>(line[i]);
            character = length == 0 || lead < 0x20 || lead == 0x7F ? kReplacementCharacter
                                                                   : line.substr(i, length);
            i += length == 0 ? 1 : length;
        }
        out += "<span class=\"cell\">" + escapedHtml(character) + "</span>";
    }
}

} // namespace

std::string webViewPage(const WebViewState& state, const std::string& nonce) {
    std::string cells;
    appendCells(cells, state.line1);
    appendCells(cells, state.line2);
    const std::pair<const char*, std::string> values[] = {
        {"nonce", escapedHtml(nonce)},
        {"cells", cells},
        {"channel",
         "Channel " + (state.channel >= 0 && state.channel < 16 ? std::to_string(state.channel + 1)
                                                                : std::string("omni"))},
        {"input", "MIDI input: " + escapedHtml(state.input)},
    };
    // One pass over the template, so that no value is ever read as a mark.
    const std::string page = kPageTemplate;
    std::string out;
    size_t at = 0;
    for (size_t mark; (mark = page.find("{{", at)) != std::string::npos;) {
        const size_t end = page.find("}}", mark);
        out.append(page, at, mark - at);
        const std::string name = page.substr(mark + 2, end - mark - 2);
        for (const auto& value : values)
            if (name == value.first)
                out += value.second;
        at = end + 2;
    }
    out.append(page, at, std::string::npos);
    return out;
}
