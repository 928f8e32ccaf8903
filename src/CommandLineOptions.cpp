#include "src/CommandLineOptions.h"

#include <algorithm>
#include <cctype>
#include <sstream>

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
    }
    return options;
}
