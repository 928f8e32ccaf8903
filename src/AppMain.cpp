#include "src/AppMain.h"

#include "juce/common/JuceUtils.h"
#include "src/AppContentPanel.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

extern const unsigned char dokaFacePng[];
extern const std::size_t dokaFacePngSize;

AppWindow::AppWindow(const juce::String& name) : OxWindow(name) {
    setBackgroundColour(juce::Colour(240, 240, 240));
    JuceUtils::registerEmbeddedResource("background.png", dokaFacePng, dokaFacePngSize);
}

OxContentBase* AppWindow::createContentPanel() {
    return CreateContentPanel();
}

AppApplication::~AppApplication() = default;

void AppApplication::initialise(const juce::String& commandLine) {
    instance = std::make_unique<SingleInstance>(AppContentPanel::settingsFilePath());
    if (!instance->isFirst()) {
        quit();
        return;
    }
    installQuitSignalHandlers();
    window = std::make_unique<AppWindow>(getApplicationName());
    window->init(commandLine, true);
    instance->onRaiseRequest([this] {
        if (window != nullptr) {
            window->setMinimised(false);
            window->toFront(true);
        }
    });
}

void AppApplication::shutdown() {
    window.reset();
    // A dialog's fade still running holds a window of its own, which must go while the
    // windowing system is still there.
    juce::Desktop::getInstance().getAnimator().cancelAllAnimations(false);
    removeQuitSignalHandlers();
}

void AppApplication::anotherInstanceStarted(const juce::String& commandLine) {
    if (window != nullptr)
        window->anotherInstanceStarted(commandLine);
}

namespace {
int quitPipe[2] = {-1, -1};

extern "C" void onQuitSignal(int) {
    const int savedErrno = errno; // the interrupted code may be about to read it
    const char byte = 1;
    const ssize_t written = write(quitPipe[1], &byte, 1);
    (void)written; // a full pipe already holds a quit request
    errno = savedErrno;
}
} // namespace

void installQuitSignalHandlers() {
    if (quitPipe[0] >= 0 || pipe2(quitPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    juce::LinuxEventLoop::registerFdCallback(quitPipe[0], [](int fd) {
        char buffer[16];
        while (read(fd, buffer, sizeof buffer) > 0) {
        }
        juce::JUCEApplicationBase::quit();
    });
    struct sigaction action {};
    action.sa_handler = onQuitSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
}

void removeQuitSignalHandlers() {
    if (quitPipe[0] < 0)
        return;
    signal(SIGTERM, SIG_DFL);
    signal(SIGINT, SIG_DFL);
    juce::LinuxEventLoop::unregisterFdCallback(quitPipe[0]);
    close(quitPipe[0]);
    close(quitPipe[1]);
    quitPipe[0] = quitPipe[1] = -1;
}
