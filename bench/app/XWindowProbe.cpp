#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <chrono>
#include <cstring>
#include <thread>

namespace {
int ignoreXError(Display*, XErrorEvent*) {
    return 0;
}

// The name is read as text of any encoding: the toolkit stores it as UTF8_STRING, which
// XFetchName does not return.
bool isMappedWindowNamed(Display* display, Window window, const char* title) {
    XTextProperty property;
    bool named = false;
    if (XGetWMName(display, window, &property) && property.value != nullptr) {
        char** list = nullptr;
        int count = 0;
        if (Xutf8TextPropertyToTextList(display, &property, &list, &count) >= 0 && count > 0)
            named = std::strcmp(list[0], title) == 0;
        if (list != nullptr)
            XFreeStringList(list);
        XFree(property.value);
    }
    XWindowAttributes attributes;
    return named && XGetWindowAttributes(display, window, &attributes) &&
           attributes.map_state == IsViewable;
}

bool isMappedWindowSized(Display* display, Window window, int width, int height) {
    XWindowAttributes attributes;
    return XGetWindowAttributes(display, window, &attributes) &&
           attributes.map_state == IsViewable && attributes.width == width &&
           attributes.height == height;
}
} // namespace

void ignoreXErrors() {
    XSetErrorHandler(ignoreXError);
}

// Polls the X server's top-level windows for a viewable one with that title, or of the
// front panel's size (the title is not readable in every locale).
bool waitForMappedWindow(const char* title, int timeoutMs) {
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr)
        return false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    bool found = false;
    while (!found && std::chrono::steady_clock::now() < deadline) {
        Window root, parent, *children = nullptr;
        unsigned count = 0;
        if (XQueryTree(display, DefaultRootWindow(display), &root, &parent, &children, &count)) {
            for (unsigned i = 0; i < count && !found; ++i)
                found = isMappedWindowNamed(display, children[i], title) ||
                        isMappedWindowSized(display, children[i], 650, 478);
            if (children != nullptr)
                XFree(children);
        }
        if (!found)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    XCloseDisplay(display);
    return found;
}

// Puts the pointer in the screen's bottom right corner, over no window of the programs
// measured: a pointer resting on a window keeps its tooltips watching it.
void movePointerAway() {
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr)
        return;
    const Window root = DefaultRootWindow(display);
    XWarpPointer(display, None, root, 0, 0, 0, 0, DisplayWidth(display, DefaultScreen(display)) - 1,
                 DisplayHeight(display, DefaultScreen(display)) - 1);
    XCloseDisplay(display);
}
