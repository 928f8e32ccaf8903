#pragma once

#include <string>

// The program's options, read from the command line as the toolkit hands it over: one line.
// "/dump" and "-dump" are found anywhere in the line, in any case; the other options are
// whole words, in any case. Unknown words are ignored.
struct CommandLineOptions {
    bool dump = false;         // every received byte goes to the dump file
    bool printDisplay = false; // "--print-display": each change of the display on stdout
    bool virtualPort = false;  // "--virtual-port": other programs can send to us, this run
    // "--stats" or "--stats=<seconds>" (1 to 3600; anything else keeps 10): the thru
    // counters on stdout every so many seconds and at exit.
    bool stats = false;
    int statsIntervalSeconds = 10;

    static CommandLineOptions parse(const std::string& line);
};
