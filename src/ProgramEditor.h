#pragma once

#include "juce/common/ABaseDialog.h"
#include "src/ProgramNames.h"

class ProgramEditorDialog;

// The Program Names dialog's controls. It edits its own copy of the names, taken when it
// is built, and hands them to the panel's table only on OK or Return.
class ProgramEditorDialogContent : public juce::Component,
                                   public juce::Button::Listener,
                                   public juce::ComboBox::Listener,
                                   public juce::KeyListener {
public:
    static constexpr int MAX_NAME_LENGTH = 16;

    explicit ProgramEditorDialogContent(ProgramEditorDialog& dialog);
    ~ProgramEditorDialogContent() override;

    void init(const ProgramNames& names);
    void setCurrentProgram(int program);
    void comboBoxChanged(juce::ComboBox* box) override;
    // Gives the name field the keyboard focus with its text selected: typing replaces it.
    void focusName();
    void apply();
    void buttonClicked(juce::Button* button) override;
    bool keyPressed(const juce::KeyPress& key, juce::Component* origin) override;
    void resized() override;

    juce::ComboBox& getSelector() { return selector; }
    juce::TextEditor& getNameEditor() { return nameEditor; }
    juce::TextButton& getOkButton() { return okButton; }
    juce::TextButton& getCancelButton() { return cancelButton; }

private:
    ProgramEditorDialog& dialog;
    juce::Label programLabel;
    juce::ComboBox selector;
    juce::Label nameLabel;
    juce::TextEditor nameEditor;
    juce::TextButton okButton{"OK"};
    juce::TextButton cancelButton{"Cancel"};
    ProgramNames workingNames;
    int selectedIndex = -1;
};

class ProgramEditorDialog : public ABaseDialog {
public:
    static constexpr int CONTENT_WIDTH = 300;
    static constexpr int CONTENT_HEIGHT = 170;

    ProgramEditorDialog(juce::Component* parent, ProgramNameTable& names);
    ~ProgramEditorDialog() override;

    void setCurrentProgram(int program);
    ProgramNameTable& getNames() { return names; }
    ProgramEditorDialogContent* getContent() const { return content; }

protected:
    juce::Component* initContent() override;
    // The window takes the focus when it opens; typing belongs in the name field.
    void focusGained(FocusChangeType) override;
    void setWindowResizable() override { setResizable(false, false); }
    int getPreferredContentWidth() override { return CONTENT_WIDTH; }
    int getPreferredContentHeight() override { return CONTENT_HEIGHT; }

private:
    ProgramEditorDialogContent* content = nullptr; // owned by the window once shown
    ProgramNameTable& names;
};
