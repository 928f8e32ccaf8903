#include "src/WindowControls.h"

#include "juce/common/DisplayScale.h"

namespace {

const char* const SECTION_CURRENT = "Current";
const char* const IDENT_DISPLAY_SCALE = "DisplayScale";
const char* const IDENT_ALWAYS_ON_TOP = "AlwaysOnTop";

const char* const KEYS_LARGER = "Ctrl++";
const char* const KEYS_SMALLER = "Ctrl+-";
const char* const KEYS_OWN_SIZE = "Ctrl+0";
const char* const KEYS_ALWAYS_ON_TOP = "Ctrl+T";
const char* const KEYS_PROGRAM_NAMES = "Ctrl+P";
const char* const KEYS_PORT_SETTINGS = "Ctrl+M";
const char* const KEYS_CLOSE = "Ctrl+Q";

// The menu item a key stands for, 0 for none. Shift is ignored: "+" is a shifted key on
// many layouts, and Ctrl+= is the same key unshifted.
int menuItemForKey(const juce::KeyPress& key) {
    const auto mods = key.getModifiers();
    if (!mods.isCommandDown() || mods.isAltDown())
        return 0;
    const int code = key.getKeyCode();
    if (code == '+' || code == '=' || code == juce::KeyPress::numberPadAdd)
        return WindowControls::larger;
    if (code == '-' || code == '_' || code == juce::KeyPress::numberPadSubtract)
        return WindowControls::smaller;
    if (code == '0' || code == juce::KeyPress::numberPad0)
        return WindowControls::scaleBase + DisplayScale::MIN_PERCENT;
    switch (code < 128 ? juce::CharacterFunctions::toUpperCase(static_cast<juce::juce_wchar>(code))
                       : 0) {
    case 'T':
        return WindowControls::alwaysOnTop;
    case 'P':
        return WindowControls::programNames;
    case 'M':
        return WindowControls::portSettings;
    case 'Q':
    case 'W':
        return WindowControls::close;
    default:
        return 0;
    }
}

void appendShortcut(juce::Button* button, const char* keys) {
    if (button != nullptr)
        button->setTooltip(button->getTooltip() + " (" + keys + ")");
}

void click(juce::Button* button) {
    if (button != nullptr)
        button->triggerClick();
}

juce::PopupMenu::Item item(int id, const juce::String& text, const juce::String& keys = {}) {
    juce::PopupMenu::Item entry(text);
    entry.itemID = id;
    entry.shortcutKeyDescription = keys;
    return entry;
}

} // namespace

WindowControls::WindowControls(OxWindow& w, juce::Component& f, Buttons b)
    : window(&w), keySource(&w), face(f), buttons(std::move(b)) {
    window->addKeyListener(this);
    face.addMouseListener(this, false);
    appendShortcut(buttons.programNames, KEYS_PROGRAM_NAMES);
    for (auto* button : buttons.portSettings)
        appendShortcut(button, KEYS_PORT_SETTINGS);
    appendShortcut(buttons.close, KEYS_CLOSE);
}

WindowControls::~WindowControls() {
    face.removeMouseListener(this);
    if (keySource != nullptr)
        keySource->removeKeyListener(this);
}

void WindowControls::load(const Lk::TIniFile& ini) {
    setScale(DisplayScale::fromStored(
        ini.ReadInteger(SECTION_CURRENT, IDENT_DISPLAY_SCALE, DisplayScale::MIN_PERCENT,
                        DisplayScale::MIN_PERCENT, DisplayScale::MAX_PERCENT)));
    setAlwaysOnTop(ini.ReadInteger(SECTION_CURRENT, IDENT_ALWAYS_ON_TOP, 0, 0, 1) != 0);
}

void WindowControls::save(Lk::TIniFile& ini) const {
    ini.WriteInteger(SECTION_CURRENT, IDENT_DISPLAY_SCALE, getScale());
    ini.WriteInteger(SECTION_CURRENT, IDENT_ALWAYS_ON_TOP, isAlwaysOnTop() ? 1 : 0);
}

void WindowControls::setScale(int percent) {
    if (window == nullptr)
        return;
    const int current = window->getContentScale();
    percent = DisplayScale::fromStored(percent);
    if (percent > current) {
        percent = window->getLargestFittingScale(percent);
        if (percent <= current)
            return;
    }
    window->setContentScale(percent);
}

int WindowControls::getScale() const {
    return window != nullptr ? window->getContentScale() : DisplayScale::MIN_PERCENT;
}

void WindowControls::setAlwaysOnTop(bool onTop) {
    if (window != nullptr)
        window->setAlwaysOnTop(onTop);
}

bool WindowControls::isAlwaysOnTop() const {
    return window != nullptr && window->isAlwaysOnTop();
}

juce::PopupMenu WindowControls::createMenu() const {
    const int scale = getScale();
    const int largest = window != nullptr
                            ? window->getLargestFittingScale(DisplayScale::MAX_PERCENT)
                            : DisplayScale::MIN_PERCENT;
    juce::PopupMenu sizes;
    for (int step : DisplayScale::STEPS)
        sizes.addItem(item(scaleBase + step, juce::String(step) + " %",
                           step == DisplayScale::MIN_PERCENT ? KEYS_OWN_SIZE : "")
                          .setTicked(step == scale)
                          .setEnabled(step <= largest));

    juce::PopupMenu menu;
    menu.addItem(item(larger, "Larger", KEYS_LARGER).setEnabled(scale < largest));
    menu.addItem(
        item(smaller, "Smaller", KEYS_SMALLER).setEnabled(scale > DisplayScale::MIN_PERCENT));
    menu.addSubMenu("Size", sizes);
    menu.addItem(item(alwaysOnTop, "Always on Top", KEYS_ALWAYS_ON_TOP).setTicked(isAlwaysOnTop()));
    menu.addSeparator();
    menu.addItem(item(programNames, "Program Names...", KEYS_PROGRAM_NAMES));
    menu.addItem(item(portSettings, "MIDI Port Settings...", KEYS_PORT_SETTINGS));
    menu.addSeparator();
    menu.addItem(item(close, "Close", KEYS_CLOSE));
    return menu;
}

void WindowControls::perform(int menuItem) {
    switch (menuItem) {
    case larger:
        setScale(DisplayScale::larger(getScale()));
        break;
    case smaller:
        setScale(DisplayScale::smaller(getScale()));
        break;
    case alwaysOnTop:
        setAlwaysOnTop(!isAlwaysOnTop());
        break;
    case programNames:
        click(buttons.programNames);
        break;
    case portSettings:
        click(buttons.portSettings.empty() ? nullptr : buttons.portSettings.front());
        break;
    case close:
        click(buttons.close);
        break;
    default:
        if (menuItem > scaleBase)
            setScale(menuItem - scaleBase);
    }
}

bool WindowControls::keyPressed(const juce::KeyPress& key, juce::Component*) {
    const int menuItem = menuItemForKey(key);
    if (menuItem == 0)
        return false;
    perform(menuItem);
    return true;
}

void WindowControls::mouseDown(const juce::MouseEvent& e) {
    if (!e.mods.isPopupMenu() || e.eventComponent != &face)
        return;
    juce::Component::SafePointer<juce::Component> alive(&face);
    // Shown at the window's scale, so its text is as large as the face's.
    createMenu().showMenuAsync(
        juce::PopupMenu::Options().withTargetComponent(&face).withTargetScreenArea(
            {e.getScreenX(), e.getScreenY(), 1, 1}),
        [this, alive](int chosen) {
            if (alive != nullptr && chosen != 0)
                perform(chosen);
        });
}
