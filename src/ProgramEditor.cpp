#include "src/ProgramEditor.h"

#include "juce/common/JuceUtils.h"

namespace {
const juce::Colour PALE_YELLOW(255, 255, 179);
const juce::Colour DARK_RED(128, 8, 8);
} // namespace

ProgramEditorDialogContent::ProgramEditorDialogContent(ProgramEditorDialog& owner) : dialog(owner) {
    programLabel.setText("Program:", juce::dontSendNotification);
    programLabel.setColour(juce::Label::textColourId, PALE_YELLOW);
    addAndMakeVisible(programLabel);

    selector.setColour(juce::ComboBox::textColourId, PALE_YELLOW);
    selector.setColour(juce::ComboBox::backgroundColourId, DARK_RED);
    selector.addListener(this);
    for (int p = 0; p < kProgramCount; ++p)
        selector.addItem("Program " + juce::String(p + 1), p + 1);
    addAndMakeVisible(selector);

    nameLabel.setText("Name:", juce::dontSendNotification);
    nameLabel.setColour(juce::Label::textColourId, PALE_YELLOW);
    addAndMakeVisible(nameLabel);

    nameEditor.setMultiLine(false);
    nameEditor.setReadOnly(false);
    nameEditor.addKeyListener(this);
    nameEditor.setInputRestrictions(MAX_NAME_LENGTH);
    nameEditor.setColour(juce::TextEditor::backgroundColourId, DARK_RED.brighter(0.4f));
    addAndMakeVisible(nameEditor);

    addAndMakeVisible(okButton);
    addAndMakeVisible(cancelButton);
    okButton.addListener(this);
    cancelButton.addListener(this);

    init(*dialog.getNames().get());
}

ProgramEditorDialogContent::~ProgramEditorDialogContent() {
    nameEditor.removeKeyListener(this);
}

void ProgramEditorDialogContent::init(const ProgramNames& names) {
    workingNames = names;
    selectedIndex = selector.getSelectedItemIndex();
    if (selectedIndex < 0)
        selector.setSelectedItemIndex(0, juce::sendNotificationAsync);
}

void ProgramEditorDialogContent::setCurrentProgram(int program) {
    if (program >= 0 && program < selector.getNumItems())
        selector.setSelectedItemIndex(program, juce::sendNotificationAsync);
}

void ProgramEditorDialogContent::comboBoxChanged(juce::ComboBox*) {
    if (selectedIndex >= 0)
        workingNames[selectedIndex] = Lk::StringFrom(nameEditor.getText());
    selectedIndex = selector.getSelectedItemIndex();
    if (selectedIndex >= 0)
        nameEditor.setText(Lk::JuceStringFrom(workingNames[selectedIndex]), true);
    focusName();
}

void ProgramEditorDialogContent::focusName() {
    nameEditor.selectAll();
    if (nameEditor.isShowing())
        nameEditor.grabKeyboardFocus();
}

void ProgramEditorDialogContent::apply() {
    comboBoxChanged(&selector);
    dialog.getNames().set(workingNames);
}

void ProgramEditorDialogContent::buttonClicked(juce::Button* button) {
    if (button == &okButton)
        apply();
    if (button == &okButton || button == &cancelButton)
        dialog.closeButtonPressed();
}

bool ProgramEditorDialogContent::keyPressed(const juce::KeyPress& key, juce::Component*) {
    if (key != juce::KeyPress(juce::KeyPress::returnKey))
        return false;
    buttonClicked(&okButton);
    return true;
}

void ProgramEditorDialogContent::resized() {
    const int W = getWidth();
    const int w = W - 20;
    programLabel.setBounds(10, 10, w, 30);
    selector.setBounds(10, 35, w, 25);
    nameLabel.setBounds(10, 70, w, 30);
    nameEditor.setBounds(10, 95, w, 25);
    okButton.setBounds(W - 180, 130, 80, 30);
    cancelButton.setBounds(W - 90, 130, 80, 30);
}

ProgramEditorDialog::ProgramEditorDialog(juce::Component* parent, ProgramNameTable& table)
    : ABaseDialog("Fennic DOKA - Program Names", parent, true), names(table) {
    setBackgroundColour(DARK_RED);
}

ProgramEditorDialog::~ProgramEditorDialog() {
    // Built for a Program Change but never shown: the window does not own it yet.
    if (content != nullptr && getContentComponent() != content)
        delete content;
}

juce::Component* ProgramEditorDialog::initContent() {
    if (content == nullptr) {
        content = new ProgramEditorDialogContent(*this);
        content->setBounds(0, 0, CONTENT_WIDTH, CONTENT_HEIGHT);
    }
    return content;
}

void ProgramEditorDialog::focusGained(FocusChangeType) {
    if (content != nullptr)
        content->focusName();
}

void ProgramEditorDialog::setCurrentProgram(int program) {
    initContent();
    content->setCurrentProgram(program);
}
