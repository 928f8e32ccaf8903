#include <X11/Xlib.h>

namespace {
// Without a window manager Xvfb refuses some of the atoms JUCE asks about; Xlib's default
// handler would end the test program for that.
int ignoreXError(Display*, XErrorEvent*) {
    return 0;
}
} // namespace

void ignoreXErrors() {
    XSetErrorHandler(ignoreXError);
}
