#pragma once

#include "core/inifile/TIniFile.h"
#include "platform/OxString.h"

#include <juce_gui_basics/juce_gui_basics.h>

#include <functional>
#include <memory>

// Work handed to the message thread by JuceUtils::invokeLater.
class Runnable {
public:
    virtual ~Runnable() = default;
    virtual void run(void* data, int value) = 0;
};

namespace JuceUtils {

// Message boxes. An information box asked for on the message thread is shown at once; an
// error box, and any box asked for on another thread, is queued and shown by the message
// thread, one per call, so no caller waits for the user or holds a lock meanwhile.
void FYI(const juce::String& message);
void ErrorDlg(const juce::String& message);

// Tests replace the boxes by a recorder; nullptr restores them.
using MessageBoxHandler =
    std::function<void(bool isError, const juce::String& title, const juce::String& message)>;
void setMessageBoxHandler(MessageBoxHandler handler);

// Pictures: the "resources" folder beside the executable (the build tree), then the one of
// an installed program ("../share/doka-display/resources" from its bin folder), then three
// levels above the working directory, then the copy embedded in the program (see
// registerEmbeddedResource).
std::unique_ptr<juce::Drawable> getDrawable(const juce::String& fileName);
std::unique_ptr<juce::Drawable> getDrawableOrImage(const juce::String& name,
                                                   const juce::String& extension, bool asDrawable,
                                                   juce::Image* image = nullptr);
void registerEmbeddedResource(const juce::String& fileName, const void* data, size_t size);

// Calls runnable->run(data, value) later on the message thread; callable from any thread.
void invokeLater(Runnable* runnable, void* data = nullptr, int value = 0);

juce::Component* center(juce::Component* component, int left, int right, int top, int bottom,
                        int width = -1, int height = -1);
juce::Component* center(juce::Component* component, juce::Component* relativeTo);

void loadWindowPosFromIni(juce::Component* component, Lk::TIniFile& ini, int defaultWidth,
                          int defaultHeight);
void saveWindowPosToIni(juce::Component* component, Lk::TIniFile& ini);
void saveWindowPosSizeToIni(juce::Component* component, Lk::TIniFile& ini, bool withSize);

juce::String cutProcessSerialNumberFromCommandLine(const juce::String& commandLine);

// A label with the dialogs' pale yellow text; the caller owns it.
juce::Label* createLabel(const juce::String& text);

} // namespace JuceUtils

namespace Lk {
OxString StringFrom(const juce::String& s);
// Decodes UTF-8, so names outside ASCII survive the round trip through the editors.
juce::String JuceStringFrom(const OxString& s);
} // namespace Lk
