#include "src/DisplayHandOver.h"

DisplayHandOver::DisplayHandOver(const DisplayLines& initial) : shown(initial) {}

void DisplayHandOver::post(const DisplayLines& lines) {
    std::lock_guard<std::mutex> hold(mutex);
    postLocked(lines);
}

void DisplayHandOver::postLocked(const DisplayLines& lines) {
    pending = lines;
    hasPending = true;
    shown = lines;
}

bool DisplayHandOver::take(DisplayLines& out) {
    std::lock_guard<std::mutex> hold(mutex);
    if (!hasPending)
        return false;
    out = pending;
    hasPending = false;
    return true;
}

bool DisplayHandOver::blankIfShowing(const char* line1, const char* line2) {
    std::lock_guard<std::mutex> hold(mutex);
    if (!shown.line1.trim().equals(line1) || !shown.line2.trim().equals(line2))
        return false;
    postLocked(DisplayLines{});
    return true;
}

bool DisplayHandOver::replaceIfLine1StartsWith(const char* prefix, const DisplayLines& lines) {
    std::lock_guard<std::mutex> hold(mutex);
    if (!shown.line1.startsWith(prefix))
        return false;
    postLocked(lines);
    return true;
}

DisplayLines DisplayHandOver::latest() const {
    std::lock_guard<std::mutex> hold(mutex);
    return shown;
}
