#include "src/CommandLineOptions.h"

#include <algorithm>
#include <cctype>
#include <sstream>

const char* const COMMAND_LINE_USAGE =
    "Usage: DOKA [/dump] [--print-display] [--stats[=SECONDS]] [--virtual-port]\n"
    "            [--web-view[=[ADDRESS:]PORT]]\n"
    "       DOKA --autostart on|off\n"
    "       DOKA --help | --version\n"
    "Shows the DOKA display module's two lines and program names, and passes MIDI on.\n"
    "\n"
    "  /dump               write every received MIDI byte to DOKA_dump.syx in the\n"
    "                      working folder\n"
    "  --print-display     print each change of the display on standard output as one\n"
    "                      line, DISPLAY \"<line 1>\" \"<line 2>\"\n"
    "  --stats[=SECONDS]   print the thru counters on standard output every 10 (or\n"
    "                      SECONDS, 1 to 3600) seconds and once more at exit\n"
    "  --virtual-port      offer the MIDI port \"DOKA Display\" to other programs for\n"
    "                      this run\n"
    "  --web-view[=[ADDRESS:]PORT]\n"
    "                      show the display to web browsers for this run, at\n"
    "                      http://127.0.0.1:8230/ or the PORT and ADDRESS given\n"
    "                      (0.0.0.0 for every device on the local network)\n"
    "  --autostart on|off  start the program with the desktop session, or no longer;\n"
    "                      then end without opening the window\n"
    "  -h, --help          print this help and end\n"
    "  --version           print the version and end\n";

namespace {

void readStatsOption(const std::string& word, CommandLineOptions& options) {
    options.stats = true;
    const size_t equals = word.find('=');
    if (equals == std::string::npos)
        return;
    const std::string value = word.substr(equals + 1);
    if (value.empty() || value.size() > 4 ||
        value.find_first_not_of("0123456789") != std::string::npos)
        return;
    const int seconds = std::stoi(value);
    if (seconds >= 1 && seconds <= 3600)
        options.statsIntervalSeconds = seconds;
}

CommandLineOptions::AutostartRequest autostartValue(const std::string& value) {
    using Request = CommandLineOptions::AutostartRequest;
    return value == "on" ? Request::on : value == "off" ? Request::off : Request::invalid;
}

// The last one counts. "--web-view=" without an endpoint is as wrong as junk.
void readWebViewOption(const std::string& word, CommandLineOptions& options) {
    const size_t equals = word.find('=');
    options.webViewEndpoint = WebViewEndpoint();
    options.webView = equals == std::string::npos ||
                      (equals + 1 < word.size() &&
                       WebViewEndpoint::parse(word.substr(equals + 1), options.webViewEndpoint));
    options.badWebView = options.webView ? "" : word;
}

} // namespace

CommandLineOptions CommandLineOptions::parse(const std::string& line) {
    std::string lower = line;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    CommandLineOptions options;
    options.dump =
        lower.find("/dump") != std::string::npos || lower.find("-dump") != std::string::npos;
    std::istringstream words(lower);
    for (std::string word; words >> word;) {
        if (word == "--print-display")
            options.printDisplay = true;
        else if (word == "--virtual-port")
            options.virtualPort = true;
        else if (word == "--stats" || word.rfind("--stats=", 0) == 0)
            readStatsOption(word, options);
        else if (word == "--web-view" || word.rfind("--web-view=", 0) == 0)
            readWebViewOption(word, options);
        else if (word == "--help" || word == "-h")
            options.help = true;
        else if (word == "--version")
            options.version = true;
        else if (word.rfind("--autostart=", 0) == 0)
            options.autostart = autostartValue(word.substr(12));
        else if (word == "--autostart")
            options.autostart = autostartValue(words >> word ? word : "");
        else if (word[0] == '-' && word.find("-dump") == std::string::npos)
            options.unknown.push_back(word);
    }
    return options;
}
