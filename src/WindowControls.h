#pragma once

#include "core/inifile/TIniFile.h"
#include "juce/common/OxWindow.h"

#include <juce_gui_basics/juce_gui_basics.h>

#include <vector>

// The main window's view and its shortcuts: the scale (Ctrl + larger, Ctrl - smaller,
// Ctrl 0 the face's own size), always on top (Ctrl+T), and the shortcuts of the face's
// buttons: Ctrl+P Program Names, Ctrl+M MIDI Port Settings, Ctrl+Q or Ctrl+W Close. A right
// click on the face opens a menu with all of them, for the window has no menu bar. A
// shortcut clicks its button, so it does exactly what a click does.
class WindowControls : public juce::KeyListener, private juce::MouseListener {
public:
    struct Buttons {
        juce::Button* programNames;
        std::vector<juce::Button*> portSettings; // the first is clicked
        juce::Button* close;
    };
    enum MenuItem {
        larger = 1,
        smaller,
        alwaysOnTop,
        programNames,
        portSettings,
        close,
        scaleBase = 1000, // + percent: that scale
    };

    // Listens to the keys of `window` and to right clicks on `face`; appends the shortcuts
    // to the buttons' tooltips.
    WindowControls(OxWindow& window, juce::Component& face, Buttons buttons);
    ~WindowControls() override;

    // "DisplayScale" (percent) and "AlwaysOnTop" (0 or 1) in the section "Current". A
    // stored scale larger than the display holds is brought down to one that fits.
    void load(const Lk::TIniFile& ini);
    void save(Lk::TIniFile& ini) const;

    // A larger scale only as far as the window fits its display; else nothing changes.
    void setScale(int percent);
    int getScale() const;
    void setAlwaysOnTop(bool onTop);
    bool isAlwaysOnTop() const;

    juce::PopupMenu createMenu() const;
    void perform(int menuItem);

    bool keyPressed(const juce::KeyPress& key, juce::Component* origin) override;

private:
    void mouseDown(const juce::MouseEvent& e) override;

    juce::Component::SafePointer<OxWindow> window;
    // The same window as a plain component: it is no longer an OxWindow by the time the
    // content, and so this, is deleted with it.
    juce::Component::SafePointer<juce::Component> keySource;
    juce::Component& face;
    Buttons buttons;
};
