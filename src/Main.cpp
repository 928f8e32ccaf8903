#include "src/AppMain.h"

#include <csignal>

#ifdef DOKA_ALSA_BACKEND
#include "core/linux/AlsaHotplugSource.h"
#include "core/linux/AlsaMidiFactory.h"
#endif

juce::JUCEApplicationBase* juce_CreateApplication() {
    return new AppApplication();
}

int main(int argc, char* argv[]) {
    // A reader of standard output that went away ends the printing (EPIPE), not the program.
    std::signal(SIGPIPE, SIG_IGN);
#ifdef DOKA_ALSA_BACKEND
    // Before the MIDI manager exists: it adds the backends registered by then.
    Lk::registerAlsaMidiBackend();
    Lk::AlsaHotplugSource::install();
#endif
    juce::JUCEApplicationBase::createInstance = &juce_CreateApplication;
    return juce::JUCEApplicationBase::main(argc, const_cast<const char**>(argv));
}
