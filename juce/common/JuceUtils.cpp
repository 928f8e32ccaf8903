#include "juce/common/JuceUtils.h"

#include <algorithm>
#include <deque>
#include <map>
#include <mutex>
#include <utility>

namespace {

const char* const SECTION_CURRENT = "Current";
const char* const IDENT_MAIN_LEFT = "MainLeft";
const char* const IDENT_MAIN_TOP = "MainTop";
const char* const IDENT_MAIN_WIDTH = "MainWidth";
const char* const IDENT_MAIN_HEIGHT = "MainHeight";
const int POSITION_UNSET = -1000;
const int POSITION_LIMIT = 1000000; // further than any screen reaches

std::mutex handlerMutex;
JuceUtils::MessageBoxHandler boxHandler; // guarded by handlerMutex

void showBox(bool isError, const juce::String& message) {
    const juce::String title = isError ? "Fennic DOKA - Error" : "Fennic DOKA - Information";
    JuceUtils::MessageBoxHandler handler;
    {
        std::lock_guard<std::mutex> hold(handlerMutex);
        handler = boxHandler;
    }
    if (handler) {
        handler(isError, title, message);
        return;
    }
    juce::AlertWindow::showMessageBox(isError ? juce::MessageBoxIconType::WarningIcon
                                              : juce::MessageBoxIconType::InfoIcon,
                                      title, message, {}, nullptr);
}

// Boxes are modal: one shown while another is open would run inside its event loop, so a
// burst of reports (a cable that comes and goes) would stack up box within box, and the
// program could not quit until every one was closed. They are shown one after another
// instead, and a box already open or waiting is not asked for again.
class BoxQueue {
public:
    // On the message thread with no box open: shown at once, the caller waits. Otherwise
    // queued, and the caller goes on at once.
    void show(bool isError, const juce::String& message) {
        auto* mm = juce::MessageManager::getInstanceWithoutCreating();
        const bool now = mm != nullptr && mm->isThisTheMessageThread();
        if (!add(isError, message, !now))
            return;
        if (now)
            showWaiting();
    }
    // Queued even on the message thread.
    void queue(bool isError, const juce::String& message) { add(isError, message, true); }

private:
    using Box = std::pair<bool, juce::String>;

    // False when the box is open or waiting already, or when the queue is being shown.
    bool add(bool isError, const juce::String& message, bool later) {
        std::lock_guard<std::mutex> hold(mutex);
        const Box box{isError, message};
        if ((showing && open == box) ||
            std::find(waiting.begin(), waiting.end(), box) != waiting.end())
            return false;
        waiting.push_back(box);
        if (showing || drainPosted)
            return false;
        if (later) {
            drainPosted = true;
            juce::MessageManager::callAsync([this] { showWaiting(); });
            return false;
        }
        return true;
    }

    void showWaiting() {
        for (;;) {
            Box box;
            {
                std::lock_guard<std::mutex> hold(mutex);
                drainPosted = false;
                if (showing || waiting.empty())
                    return;
                box = waiting.front();
                waiting.pop_front();
                showing = true;
                open = box;
            }
            showBox(box.first, box.second);
            std::lock_guard<std::mutex> hold(mutex);
            showing = false;
        }
    }

    std::mutex mutex;
    std::deque<Box> waiting; // guarded by mutex, as the fields below
    Box open;
    bool showing = false;
    bool drainPosted = false;
};

BoxQueue& boxQueue() {
    static BoxQueue* const queue = new BoxQueue(); // used by queued calls up to the very end
    return *queue;
}

std::mutex embeddedMutex;
std::map<juce::String, std::pair<const void*, size_t>>& embeddedResources() {
    static std::map<juce::String, std::pair<const void*, size_t>> resources;
    return resources;
}

class InternalUpdater : public juce::AsyncUpdater {
public:
    InternalUpdater(Runnable* r, void* d, int v) : runnable(r), data(d), value(v) {}
    ~InternalUpdater() override { cancelPendingUpdate(); }
    void handleAsyncUpdate() override {
        if (runnable != nullptr)
            runnable->run(data, value);
        delete this;
    }

private:
    Runnable* runnable;
    void* data;
    int value;
};

// One axis of the restore rule: unset centres, a window mostly off the area is pulled back.
int clampToArea(int stored, int areaStart, int areaSize, int size) {
    if (stored == POSITION_UNSET)
        return areaStart + areaSize / 2 - size / 2;
    const int tolerance = size / 3;
    if (stored < areaStart - tolerance)
        return areaStart;
    if (stored > areaStart + areaSize - tolerance)
        return areaStart + areaSize - size;
    return stored;
}

} // namespace

namespace JuceUtils {

void FYI(const juce::String& message) {
    boxQueue().show(false, message);
}

void ErrorDlg(const juce::String& message) {
    // Always queued: errors are reported from inside the MIDI manager's lock, which a
    // modal box on the message thread would otherwise hold for as long as it is open.
    boxQueue().queue(true, message);
}

void setMessageBoxHandler(MessageBoxHandler handler) {
    std::lock_guard<std::mutex> hold(handlerMutex);
    boxHandler = std::move(handler);
}

std::unique_ptr<juce::Drawable> getDrawable(const juce::String& fileName) {
    const juce::String extension = fileName.fromLastOccurrenceOf(".", false, false);
    const juce::String name = fileName.upToLastOccurrenceOf(".", false, false);
    return getDrawableOrImage(name, extension, true);
}

std::unique_ptr<juce::Drawable> getDrawableOrImage(const juce::String& name,
                                                   const juce::String& extension, bool asDrawable,
                                                   juce::Image* image) {
    const juce::String fileName = name + "." + extension;
    const juce::String sep = juce::File::getSeparatorString();
    const juce::File executable = juce::File::getSpecialLocation(juce::File::currentExecutableFile);
    const juce::File candidates[] = {
        executable.getSiblingFile("resources").getChildFile(fileName),
        executable.getParentDirectory()
            .getChildFile(DOKA_INSTALLED_RESOURCES)
            .getChildFile(fileName),
        juce::File::getCurrentWorkingDirectory().getChildFile(".." + sep + ".." + sep + ".." + sep +
                                                              "resources" + sep + fileName),
    };
    // Not through JUCE's image cache: its timer wakes the program every two seconds for as
    // long as an image it handed out lives, and a window's picture lives as long as it.
    juce::Image loaded;
    for (const auto& file : candidates) {
        if (file.existsAsFile()) {
            loaded = juce::ImageFileFormat::loadFrom(file);
            break;
        }
    }
    if (!loaded.isValid()) {
        std::lock_guard<std::mutex> hold(embeddedMutex);
        auto found = embeddedResources().find(fileName);
        if (found != embeddedResources().end())
            loaded = juce::ImageFileFormat::loadFrom(found->second.first, found->second.second);
    }
    if (!loaded.isValid())
        return nullptr;
    if (image != nullptr)
        *image = loaded;
    if (!asDrawable)
        return nullptr;
    auto drawable = std::make_unique<juce::DrawableImage>();
    drawable->setImage(loaded);
    return drawable;
}

void registerEmbeddedResource(const juce::String& fileName, const void* data, size_t size) {
    std::lock_guard<std::mutex> hold(embeddedMutex);
    embeddedResources()[fileName] = {data, size};
}

void invokeLater(Runnable* runnable, void* data, int value) {
    (new InternalUpdater(runnable, data, value))->triggerAsyncUpdate();
}

juce::Component* center(juce::Component* component, int left, int right, int top, int bottom,
                        int width, int height) {
    if (component == nullptr)
        return nullptr;
    if (width < 0)
        width = component->getWidth();
    if (height < 0)
        height = component->getHeight();
    const int x = juce::jmax(0, (right - left) / 2 + left - width / 2);
    const int y = juce::jmax(0, (bottom - top) / 2 + top - height / 2);
    component->setBounds(x, y, width, height);
    return component;
}

juce::Component* center(juce::Component* component, juce::Component* relativeTo) {
    if (component == nullptr || relativeTo == nullptr)
        return component;
    return center(component, relativeTo->getX(), relativeTo->getRight(), relativeTo->getY(),
                  relativeTo->getBottom());
}

void loadWindowPosFromIni(juce::Component* component, Lk::TIniFile& ini, int defaultWidth,
                          int defaultHeight) {
    juce::Component* window = component->getTopLevelComponent();
    const int storedLeft = ini.ReadInteger(SECTION_CURRENT, IDENT_MAIN_LEFT, POSITION_UNSET,
                                           -POSITION_LIMIT, POSITION_LIMIT);
    const int storedTop = ini.ReadInteger(SECTION_CURRENT, IDENT_MAIN_TOP, POSITION_UNSET,
                                          -POSITION_LIMIT, POSITION_LIMIT);
    const int w = defaultWidth < 0 ? window->getWidth() : defaultWidth;
    const int h = defaultHeight < 0 ? window->getHeight() : defaultHeight;
    const auto* display = juce::Desktop::getInstance().getDisplays().getPrimaryDisplay();
    const juce::Rectangle<int> area =
        display != nullptr ? display->userArea : juce::Rectangle<int>(0, 0, 1024, 768);
    window->setBounds(clampToArea(storedLeft, area.getX(), area.getWidth(), w),
                      clampToArea(storedTop, area.getY(), area.getHeight(), h), w, h);
}

void saveWindowPosToIni(juce::Component* component, Lk::TIniFile& ini) {
    saveWindowPosSizeToIni(component, ini, false);
}

void saveWindowPosSizeToIni(juce::Component* component, Lk::TIniFile& ini, bool withSize) {
    const juce::Component* window = component->getTopLevelComponent();
    ini.WriteInteger(SECTION_CURRENT, IDENT_MAIN_LEFT, window->getX());
    ini.WriteInteger(SECTION_CURRENT, IDENT_MAIN_TOP, window->getY());
    if (withSize) {
        ini.WriteInteger(SECTION_CURRENT, IDENT_MAIN_WIDTH, window->getWidth());
        ini.WriteInteger(SECTION_CURRENT, IDENT_MAIN_HEIGHT, window->getHeight());
    }
}

juce::String cutProcessSerialNumberFromCommandLine(const juce::String& commandLine) {
    juce::String line = commandLine;
    const int psn = line.indexOf("-psn");
    if (psn >= 0) {
        const int space = line.indexOf(psn + 1, " ");
        const juce::String before = line.substring(0, juce::jmax(0, psn - 1));
        line = space >= 0 ? before + line.substring(space) : before;
    }
    return line.replace("-NSDocumentRevisionsDebugMode YES", "");
}

juce::Label* createLabel(const juce::String& text) {
    auto* label = new juce::Label({}, text);
    label->setColour(juce::Label::textColourId, juce::Colour(255, 255, 179));
    return label;
}

} // namespace JuceUtils

namespace Lk {

OxString StringFrom(const juce::String& s) {
    return OxString(s.toRawUTF8());
}

juce::String JuceStringFrom(const OxString& s) {
    if (juce::CharPointer_UTF8::isValidString(s.c_str(), s.length()))
        return juce::String::fromUTF8(s.c_str(), s.length());
    // Not UTF-8 (a hand-edited settings file): taken byte for byte, as Latin-1.
    juce::String text;
    for (int i = 0; i < s.length(); ++i)
        text += static_cast<juce::juce_wchar>(static_cast<unsigned char>(s[i]));
    return text;
}

} // namespace Lk
