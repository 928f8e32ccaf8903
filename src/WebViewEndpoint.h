#pragma once

#include <string>
#include <vector>

// Where the web view listens: "[ADDRESS:]PORT" as the command line ("--web-view=…"), the
// settings and the port dialog write it. Without an address only this computer can connect.
struct WebViewEndpoint {
    static constexpr int DEFAULT_PORT = 8230;
    static constexpr const char* LOOPBACK = "127.0.0.1";

    std::string address = LOOPBACK; // an IPv4 or IPv6 literal or a host name
    int port = DEFAULT_PORT;        // 0 asks the system for a free one (tests)

    // "8230", "0.0.0.0:8230", "[::]:8230", "localhost:8230", or "" for the default; false,
    // and `out` untouched, for anything else (a port outside 0..65535, spaces, junk).
    static bool parse(const std::string& text, WebViewEndpoint& out);
    // "8230" for the loopback address, else "ADDRESS:PORT" ("[v6]:PORT"); parse() reads it.
    std::string toString() const;
    // Whether only this computer can connect (127.x.x.x, ::1, localhost).
    bool isLoopback() const;
    // The addresses a phone on the local network would open, "http://192.168.1.20:8230/"
    // (one per network interface that is up, loopback left out); for a loopback endpoint
    // just "http://127.0.0.1:8230/".
    std::vector<std::string> urls() const;
};
