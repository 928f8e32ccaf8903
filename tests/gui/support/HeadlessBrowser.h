#pragma once

#include <juce_core/juce_core.h>
#include <juce_events/juce_events.h>

#include <string>
#include <unistd.h>

// Debian's Chromium without a window, driven over the DevTools protocol on a pipe (the
// browser reads commands on its fd 3 and writes replies and events on its fd 4, each a JSON
// text ended by a NUL byte), with one page in a flattened session. A step that fails returns
// false or a void var and leaves the reason in error(). Called on the message thread, it runs
// the message loop while it waits for the browser.
class HeadlessBrowser {
public:
    static constexpr const char* PROGRAM = "/usr/bin/chromium";
    static bool isInstalled() { return ::access(PROGRAM, X_OK) == 0; }

    HeadlessBrowser();  // a fresh profile and a blank page; a failure shows at the first step
    ~HeadlessBrowser(); // the pipe closed, then killed after a grace period
    JUCE_DECLARE_NON_COPYABLE(HeadlessBrowser)

    const juce::String& error() const { return lastError; }

    bool open(const juce::String& url); // and waits for the page's load event
    // The page as a phone or tablet of that size in CSS pixels shows it.
    bool setViewport(int width, int height);
    // The value of a JavaScript expression; a promise is waited for.
    juce::var evaluate(const juce::String& expression, int timeoutMs = 10000);
    bool screenshot(const juce::File& png);

private:
    bool launch();
    // Sends a command (its parameters in JSON); its reply's "result" once `event`, if any, came.
    juce::var call(const juce::String& method, const juce::String& params,
                   const juce::String& event = {}, int timeoutMs = 10000);
    bool fail(const juce::String& why);

    pid_t pid = 0;
    int toBrowser = -1;
    int fromBrowser = -1;
    juce::File profile;
    std::string unread; // what came after the last complete message
    int lastId = 0;
    juce::String session;
    juce::String lastError;
};
