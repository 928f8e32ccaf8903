#include "tests/gui/support/AppWindowFixture.h"
#include "tests/gui/support/HeadlessBrowser.h"
#include "tests/support/MidiBytes.h"

namespace {

using dokatest::Bytes;

class WebViewBrowserTest : public AppWindowFixture {
protected:
    void SetUp() override {
        if (!HeadlessBrowser::isInstalled())
            GTEST_SKIP() << HeadlessBrowser::PROGRAM << " is not installed (scripts/setup.sh)";
        AppWindowFixture::SetUp();
        keys = factory->addPort(1, "Keys");
        bindAlias(AppContentPanel::ALIAS_INPUT, Lk::atIn, "Keys");
        startApp("--web-view=127.0.0.1:0");
        ASSERT_NE(panel->getWebView(), nullptr);
        const int port = panel->getWebView()->boundPort();
        ASSERT_TRUE(browser.open("http://127.0.0.1:" + juce::String(port) + "/"))
            << browser.error();
    }
    // The page's sixteen cells as "LINE 1|LINE 2" without the blanks at the ends, once the
    // message made them `lines` or after `withinMs`: a bound generous enough for a loaded
    // machine (doka_app_measure measures the latency).
    void expectShown(const Bytes& message, const juce::String& lines, int withinMs = 2000) {
        factory->feed(keys, message);
        const juce::String poll = R"JS(new Promise(done => {
          const until = Date.now() + WITHIN;
          (function poll() {
            const text = Array.from(document.querySelectorAll('.cell'), c => c.textContent).join('');
            const shown = text.slice(0, 8).trimEnd() + '|' + text.slice(8).trimEnd();
            shown === LINES || Date.now() > until ? done(shown) : setTimeout(poll, 5);
          })();
        }))JS";
        const juce::String shown =
            browser.evaluate(poll.replace("WITHIN", juce::String(withinMs))
                                 .replace("LINES", juce::JSON::toString(lines)),
                             withinMs + 5000);
        EXPECT_EQ(shown, lines) << browser.error();
    }

    int keys = -1;
    HeadlessBrowser browser;
};

// Display messages and a program's name reach the page, markup in a line is shown as the
// text it is, the page fills phones and tablets held either way, and after the server
// stopped and started again the page takes up the next message by itself.
TEST_F(WebViewBrowserTest, showsEachMessageAsTextAndReconnectsByItself) {
    expectShown({0xF0, 0x77, 0x08, 0x05, 0x0C, 0x0C, 0x0F, 0x75, 0xF7}, "HELLO|");
    expectShown(
        {0xF0, 0x77, 19, 25, 14, 20, 8, 0, 101, 102, 53, 2, 52, 1, 53, 50, 2, 52, 0x75, 0xF7},
        "SYNTH 12|<B>A</B>");
    ProgramNames names;
    names[5] = "Grand Piano<i>";
    panel->getProgramNames().set(names);
    expectShown({0xC0, 0x05}, "GRAND PI|ANO<I>");
    EXPECT_EQ(browser.evaluate("document.querySelectorAll('b, i, script').length").toString(), "1");
    for (const auto& [name, width, height] :
         {std::tuple{"phone_portrait", 390, 844}, std::tuple{"phone_landscape", 844, 390},
          std::tuple{"tablet_portrait", 820, 1180}, std::tuple{"tablet_landscape", 1180, 820}}) {
        ASSERT_TRUE(browser.setViewport(width, height)) << browser.error();
        EXPECT_TRUE(static_cast<bool>(
            browser.evaluate("(box => box.right <= innerWidth && box.bottom <= innerHeight)("
                             "document.querySelector('.display').getBoundingClientRect())")))
            << name;
        EXPECT_TRUE(browser.screenshot(
            juce::File(DOKA_SCREENSHOT_DIR).getChildFile(juce::String("webview_") + name + ".png")))
            << browser.error();
    }

    WebViewServer& server = *panel->getWebView();
    WebViewEndpoint samePort;
    samePort.port = server.boundPort();
    server.stop();
    pumpFor(1500); // long enough for the page to find the port closed at least once
    ASSERT_EQ(server.start(samePort), "");
    expectShown({0xF0, 0x77, 1, 7, 1, 9, 14, 0x75, 0xF7}, "AGAIN|", 10000); // the page retries
}

} // namespace
