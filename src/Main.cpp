#include "src/AppMain.h"
#include "src/Autostart.h"
#include "src/CommandLineOptions.h"

#include <X11/Xlib.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#ifdef DOKA_ALSA_BACKEND
#include "core/linux/AlsaHotplugSource.h"
#include "core/linux/AlsaMidiFactory.h"
#endif

juce::JUCEApplicationBase* juce_CreateApplication() {
    return new AppApplication();
}

namespace {

// The toolkit would wait for an X server for ever, or end without a word.
bool canOpenDisplay() {
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr)
        return false;
    XCloseDisplay(display);
    return true;
}

// The options that end the program before any window or MIDI port is made: their exit
// status, or -1 to go on starting.
int runCommandLineOnly(const CommandLineOptions& options) {
    using Request = CommandLineOptions::AutostartRequest;
    if (options.help)
        return std::fputs(COMMAND_LINE_USAGE, stdout) >= 0 ? 0 : 1;
    if (options.version)
        return std::printf("DOKA %s\n", DOKA_VERSION) > 0 ? 0 : 1;
    for (const std::string& word : options.unknown)
        std::fprintf(stderr, "DOKA: unknown option \"%s\" (see DOKA --help)\n", word.c_str());
    if (!options.badWebView.empty())
        std::fprintf(stderr,
                     "DOKA: \"%s\" is not --web-view=[ADDRESS:]PORT; no web view this run\n",
                     options.badWebView.c_str());
    if (options.autostart == Request::invalid) {
        std::fprintf(stderr, "DOKA: --autostart takes on or off (see DOKA --help)\n");
        return 2;
    }
    if (options.autostart != Request::unchanged) {
        const std::string failure = Autostart::set(options.autostart == Request::on);
        if (!failure.empty())
            std::fprintf(stderr, "DOKA: %s\n", failure.c_str());
        return failure.empty() ? 0 : 1;
    }
    if (!canOpenDisplay()) {
        const char* display = std::getenv("DISPLAY");
        if (display == nullptr || display[0] == '\0')
            std::fprintf(stderr, "DOKA: no display to open (DISPLAY is not set): start it in "
                                 "a graphical session.\n");
        else
            std::fprintf(stderr,
                         "DOKA: cannot open the display \"%s\": no X server answers there.\n",
                         display);
        return 1;
    }
    return -1;
}

} // namespace

int main(int argc, char* argv[]) {
    // A reader of standard output that went away ends the printing (EPIPE), not the program.
    std::signal(SIGPIPE, SIG_IGN);
    std::string line;
    for (int i = 1; i < argc; ++i)
        line += std::string(" ") + argv[i];
    const int status = runCommandLineOnly(CommandLineOptions::parse(line));
    if (status >= 0)
        return status;
#ifdef DOKA_ALSA_BACKEND
    // Before the MIDI manager exists: it adds the backends registered by then.
    Lk::registerAlsaMidiBackend();
    Lk::AlsaHotplugSource::install();
#endif
    juce::JUCEApplicationBase::createInstance = &juce_CreateApplication;
    return juce::JUCEApplicationBase::main(argc, const_cast<const char**>(argv));
}
