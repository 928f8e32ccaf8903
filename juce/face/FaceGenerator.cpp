// Writes the module's front panel, "background.png": the window's whole face, drawn by
// FaceDrawing.cpp. The build runs this program, so the picture is changed there and
// rebuilt, never edited by hand.
// With --icon it draws the program's icon instead (AppIcon.cpp), in the same colours.

#include "juce/face/AppIcon.h"
#include "juce/face/FaceDrawing.h"

#include <juce_gui_basics/juce_gui_basics.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

juce::Image drawFace() {
    juce::Image face(juce::Image::ARGB, FaceDrawing::WIDTH, FaceDrawing::HEIGHT, true);
    juce::Graphics g(face);
    FaceDrawing::draw(g);
    return face;
}

int writePng(const juce::Image& picture, const char* path) {
    juce::File output = juce::File::getCurrentWorkingDirectory().getChildFile(path);
    output.deleteFile();
    juce::FileOutputStream stream(output);
    juce::PNGImageFormat png;
    if (!stream.openedOk() || !png.writeImageToStream(picture, stream)) {
        std::fprintf(stderr, "cannot write %s\n", path);
        return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    // --icon <size> <output.png>: the program's icon at one of its installed sizes.
    if (argc == 4 && std::strcmp(argv[1], "--icon") == 0) {
        const int size = std::atoi(argv[2]);
        if (size < 16 || size > 1024) {
            std::fprintf(stderr, "icon size %s is not between 16 and 1024\n", argv[2]);
            return 2;
        }
        const juce::ScopedJuceInitialiser_GUI juce;
        return writePng(drawAppIcon(size), argv[3]);
    }
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <output.png> | --icon <size> <output.png>\n", argv[0]);
        return 2;
    }
    const juce::ScopedJuceInitialiser_GUI juce;
    return writePng(drawFace(), argv[1]);
}
