// The GUI tests' main: the test thread is JUCE's message thread.
#include <juce_gui_basics/juce_gui_basics.h>

#include <gtest/gtest.h>

void ignoreXErrors();

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ignoreXErrors();
    const juce::ScopedJuceInitialiser_GUI juce;
    const int result = RUN_ALL_TESTS();
    // Fades still running hold windows that must go while the windowing system is there.
    juce::Desktop::getInstance().getAnimator().cancelAllAnimations(false);
    juce::DeletedAtShutdown::deleteAll();
    return result;
}
