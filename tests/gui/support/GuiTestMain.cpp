// The GUI tests' main: the test thread is JUCE's message thread.
#include <juce_gui_basics/juce_gui_basics.h>

#include <gtest/gtest.h>

#include <X11/Xlib.h> // last: its macros clash with names in the headers above

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // Without a window manager Xvfb refuses some of the atoms JUCE asks about; Xlib's default
    // handler would end the test program for that.
    XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
    const juce::ScopedJuceInitialiser_GUI juce;
    const int result = RUN_ALL_TESTS();
    // Fades still running hold windows that must go while the windowing system is there.
    juce::Desktop::getInstance().getAnimator().cancelAllAnimations(false);
    juce::DeletedAtShutdown::deleteAll();
    return result;
}
