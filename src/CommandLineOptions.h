#pragma once

#include "src/WebViewEndpoint.h"

#include <string>
#include <vector>

// The program's options, read from the command line as the toolkit hands it over: one line.
// "/dump" and "-dump" are found anywhere in the line, in any case; the other options are
// whole words, in any case. Other words that begin with "-" are listed as unknown.
struct CommandLineOptions {
    enum class AutostartRequest { unchanged, on, off, invalid };

    bool dump = false;         // every received byte goes to the dump file
    bool printDisplay = false; // "--print-display": each change of the display on stdout
    bool virtualPort = false;  // "--virtual-port": other programs can send to us, this run
    // "--stats" or "--stats=<seconds>" (1 to 3600; anything else keeps 10): the thru
    // counters on stdout every so many seconds and at exit.
    bool stats = false;
    int statsIntervalSeconds = 10;
    // "--web-view" or "--web-view=[ADDRESS:]PORT": the web view on for this run, there. A
    // value that does not parse leaves it off and is kept, as given, in badWebView.
    bool webView = false;
    WebViewEndpoint webViewEndpoint;
    std::string badWebView;
    // These three do their job before any window or MIDI port is made, and end the program.
    bool help = false;    // "--help" or "-h": the usage on stdout
    bool version = false; // "--version": "DOKA <version>" on stdout
    // "--autostart on|off" (or "--autostart=on|off"): the desktop's autostart entry.
    AutostartRequest autostart = AutostartRequest::unchanged;
    std::vector<std::string> unknown; // as given, lower-cased

    static CommandLineOptions parse(const std::string& line);
};

// What "--help" prints: the synopsis and the options, as the manual page has them.
extern const char* const COMMAND_LINE_USAGE;
