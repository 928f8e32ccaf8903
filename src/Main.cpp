#include "src/AppMain.h"

#ifdef DOKA_ALSA_BACKEND
#include "core/linux/AlsaHotplugSource.h"
#include "core/linux/AlsaMidiFactory.h"
#endif

juce::JUCEApplicationBase* juce_CreateApplication() {
    return new AppApplication();
}

int main(int argc, char* argv[]) {
#ifdef DOKA_ALSA_BACKEND
    // Before the MIDI manager exists: it adds the backends registered by then.
    Lk::registerAlsaMidiBackend();
    Lk::AlsaHotplugSource::install();
#endif
    juce::JUCEApplicationBase::createInstance = &juce_CreateApplication;
    return juce::JUCEApplicationBase::main(argc, const_cast<const char**>(argv));
}
