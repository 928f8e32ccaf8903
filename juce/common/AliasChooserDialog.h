#pragma once

#include "juce/common/ABaseDialog.h"
#include "juce/common/ComboBoxMidi.h"
#include "juce/common/SolidComponent.h"
#include "midi/MidiAlias.h"

#include <functional>
#include <memory>
#include <vector>

// One row of the port dialog: an input alias, an output alias, or the two aliases of one
// device, each with its port box. Its widgets live in the dialog's scrolled area.
class AliasCache {
public:
    void init(Lk::TMidiAlias* a);
    void layout(juce::Component* parent, int& y, int& width, int isLast, int includeAssignToNone);
    void display();
    // Shows under each box what its port is doing now: the alias's port, or the one the
    // user picked.
    void showPortStates();
    // Binds the aliases of the boxes the user changed; an untouched box (for example one
    // whose port is unplugged and so shows "(none)") leaves its alias as it is.
    void commit();

    Lk::TMidiAlias* inAlias = nullptr;
    Lk::TMidiAlias* outAlias = nullptr;
    Lk::OxString displayName;
    std::unique_ptr<juce::Label> nameLabel;
    std::unique_ptr<juce::Label> inputLabel;
    std::unique_ptr<juce::Label> outputLabel;
    std::unique_ptr<ComboBoxMidi> inputBox;
    std::unique_ptr<ComboBoxMidi> outputBox;
    std::unique_ptr<juce::Label> inputState;
    std::unique_ptr<juce::Label> outputState;
    std::unique_ptr<SolidComponent> separator;
    // Told when the user picks another port in either box.
    ComboBoxMidi::Listener* boxListener = nullptr;

private:
    static std::unique_ptr<ComboBoxMidi> createComboBox(juce::Component* parent, int isInput,
                                                        int includeAssignToNone);
    static std::unique_ptr<juce::Label> createStateLabel(juce::Component* parent);
    static void showPortState(juce::Label& label, ComboBoxMidi& box, Lk::TMidiAlias* alias);
    // One direction's label, box and state line, from y down.
    static void layoutPort(juce::Label& label, ComboBoxMidi& box, juce::Label& state, int& y,
                           int width);
    // Shown with the alias of that direction, hidden without.
    static void bindPort(juce::Label& label, ComboBoxMidi& box, juce::Label& state,
                         Lk::TMidiAlias* alias);
};

struct AliasElementComparator {
    static int compareElements(const AliasCache* a, const AliasCache* b) {
        return a->displayName.compareWith(b->displayName, 1);
    }
};

class AliasChooserDialog;

// What the web view's line in the port dialog says; `invalid`: the field holds no endpoint.
struct WebViewNote {
    juce::String text;
    bool failed = false;
    bool invalid = false;
};

// The port dialog's choice of a web view: a check box, a field for "[address:]port" and,
// under them, the line that says what they mean (wrapped to the width).
class WebViewOption : public juce::Component,
                      private juce::Button::Listener,
                      private juce::TextEditor::Listener {
public:
    using Describe = std::function<WebViewNote(bool on, const juce::String& address)>;

    WebViewOption();
    // When the dialog opens.
    void show(bool on, const juce::String& address, Describe describe);
    // Lays itself out at this width; its height follows its line.
    void layout(int width);
    bool isOn() const { return toggle.getToggleState(); }
    juce::String getAddress() const { return addressField.getText().trim(); }
    const WebViewNote& getNote() const { return note; }
    juce::ToggleButton& getToggle() { return toggle; }
    juce::TextEditor& getAddressField() { return addressField; }
    void paint(juce::Graphics& g) override;
    // Told when the line, and with it perhaps the height, changed.
    std::function<void()> onNoteChanged;

private:
    void buttonClicked(juce::Button*) override { changed(); }
    void textEditorTextChanged(juce::TextEditor&) override { changed(); }
    void changed();
    void describe();
    juce::TextLayout noteLayout(int width) const;

    juce::ToggleButton toggle{"Show the display in a web browser"};
    juce::Label addressLabel{{}, "at [address:]port"};
    juce::TextEditor addressField;
    Describe describer;
    WebViewNote note;
};

// Keeps the port state lines current while it exists: the MIDI manager's notifications
// come from any thread and are handed to the message thread.
class AliasChooserDialogContent : public juce::Component,
                                  public juce::Button::Listener,
                                  public ComboBoxMidi::Listener,
                                  public Lk::TMidiDeviceListListener,
                                  public Lk::MidiManagerDeviceControlListener,
                                  private juce::AsyncUpdater {
public:
    explicit AliasChooserDialogContent(AliasChooserDialog& dialog);
    ~AliasChooserDialogContent() override;

    void setAliases(const Lk::OxList<Lk::TMidiAlias*>& aliases);
    void display(int reset);
    void resized() override;
    void buttonClicked(juce::Button* button) override;
    void commit();
    void comboBoxMidiChanged(ComboBoxMidi* box) override;
    void OnMidiDeviceListChanged() override { triggerAsyncUpdate(); }
    void OnAfterOpenMidiDevice(int, int) override { triggerAsyncUpdate(); }
    void OnAfterCloseMidiDevice(int, int) override { triggerAsyncUpdate(); }
    void OnMidiErrorMessage(int, int, const Lk::OxString&) override { triggerAsyncUpdate(); }
    void OnMidiPortStateChanged(int, int) override { triggerAsyncUpdate(); }

    juce::Viewport& getViewport() { return viewport; }
    juce::Component& getViewed() { return *viewed; }
    int getRowCount() const { return static_cast<int>(rows.size()); }
    AliasCache& getRow(int i) { return *rows[static_cast<size_t>(i)]; }
    juce::TextButton& getOkButton() { return okButton; }
    juce::TextButton& getCancelButton() { return cancelButton; }
    juce::ToggleButton& getVirtualInputToggle() { return virtualInputToggle; }
    juce::ToggleButton& getStartWithDesktopToggle() { return startWithDesktopToggle; }
    WebViewOption& getWebViewOption() { return webViewOption; }
    // Above the rows while the MIDI backends cannot list any port: why, and what to do.
    juce::Label& getServiceNotice() { return serviceNotice; }

private:
    void handleAsyncUpdate() override;
    void commitVirtualInput();
    void commitWebView();
    static juce::String currentServiceProblem();
    void layoutToggle(juce::ToggleButton& toggle, bool shown, int& y, int width);

    AliasChooserDialog& dialog;
    juce::Label titleLabel;
    juce::Label noPortsLabel;
    juce::TextButton okButton{"OK"};
    juce::TextButton cancelButton{"Cancel"};
    juce::Viewport viewport;
    juce::Component* viewed; // owned by the viewport
    SolidComponent separator{juce::Colours::white};
    std::vector<std::unique_ptr<AliasCache>> rows;
    juce::ToggleButton virtualInputToggle;
    juce::ToggleButton startWithDesktopToggle;
    WebViewOption webViewOption;
    juce::Label serviceNotice;
};

// The MIDI Port Settings dialog: one row per alias (or per input/output pair of one
// device); OK binds the aliases in one batch, Cancel leaves them alone.
class AliasChooserDialog : public ABaseDialog {
public:
    explicit AliasChooserDialog(juce::Component* parent);
    ~AliasChooserDialog() override;

    void resized() override;
    void updateContent(bool unused = false);
    void showTheDialog(bool reposition) override;
    AliasChooserDialogContent* getContent() const { return content; }
    // Grows to show all the content holds, when it grew (a longer line) while shown.
    void fitContent();

    bool includeInputs = true;
    bool includeOutputs = true;
    bool onlyUsedAliases = true;
    bool includeAssignToNone = true;
    // With a name, a check box under the rows offers other programs an input port of ours
    // of that name. It shows virtualInputEnabled when the dialog opens; OK stores its state
    // there and, when that changed, calls onVirtualInputChanged. Cancel leaves both alone.
    juce::String virtualInputName;
    bool virtualInputEnabled = false;
    std::function<void()> onVirtualInputChanged;
    // With both set, a check box under the rows shows isStartingWithDesktop() when the
    // dialog opens; OK hands a changed state to setStartingWithDesktop.
    std::function<bool()> isStartingWithDesktop;
    std::function<void(bool)> setStartingWithDesktop;
    // With describeWebView set, the web view's check box and address field come under the
    // rows, with the line describeWebView gives for what they show as the user changes them.
    // They show webViewEnabled and webViewAddress when the dialog opens; OK stores them there
    // and calls onWebViewChosen, also when unchanged (a view that could not start is tried
    // again). While the line says the field is invalid, OK does nothing. Cancel leaves all.
    WebViewOption::Describe describeWebView;
    bool webViewEnabled = false;
    juce::String webViewAddress;
    std::function<void()> onWebViewChosen;

protected:
    juce::Component* initContent() override;
    void setWindowResizable() override { setResizable(true, true); }
    int getPreferredContentWidth() override { return preferredWidth; }
    int getPreferredContentHeight() override;

private:
    bool shouldList(const Lk::TMidiAlias* a) const;

    AliasChooserDialogContent* content = nullptr; // owned by the window
    Lk::OxList<Lk::TMidiAlias*> aliasesToShow;
    int preferredWidth = 350;
    int preferredHeight = 250;
    bool sizedByUser = false; // resized while shown
    bool fitting = false;     // resized by fitContent, not by the user
};
