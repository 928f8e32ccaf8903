#include "tests/gui/support/ScreenPixels.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h> // last: their macros clash with names in the headers above

unsigned long screenDigest(void* nativeWindow, juce::Rectangle<int> area) {
    thread_local Display* display = XOpenDisplay(nullptr);
    XImage* image = display == nullptr
                        ? nullptr
                        : XGetImage(display, reinterpret_cast<Window>(nativeWindow), area.getX(),
                                    area.getY(), static_cast<unsigned>(area.getWidth()),
                                    static_cast<unsigned>(area.getHeight()), AllPlanes, ZPixmap);
    if (image == nullptr)
        return 0;
    unsigned long digest = 5381;
    for (int y = 0; y < area.getHeight(); ++y)
        for (int x = 0; x < area.getWidth(); ++x)
            digest = digest * 33 + XGetPixel(image, x, y);
    XDestroyImage(image);
    return digest;
}
