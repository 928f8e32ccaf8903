#pragma once

#include "src/DisplayProtocol.h"

#include <mutex>

// The two display lines on their way from the MIDI and timer threads to the message
// thread. Writers store and return at once; however many lines arrive before the message
// thread takes them, it gets only the last pair. The last pair posted is also kept, so
// that other threads can ask what the display shows without touching the editors.
class DisplayHandOver {
public:
    explicit DisplayHandOver(const DisplayLines& initial);

    void post(const DisplayLines& lines);
    // Message thread: the pair posted last, once; false when none is waiting.
    bool take(DisplayLines& out);
    // Blanks the display when it shows exactly these lines (ignoring blanks at either
    // end); decided and posted in one step, so no message in between is overwritten.
    bool blankIfShowing(const char* line1, const char* line2);
    // Posts `lines` when line 1 shown now begins with `prefix`; one step as above.
    bool replaceIfLine1StartsWith(const char* prefix, const DisplayLines& lines);
    DisplayLines latest() const;

private:
    void postLocked(const DisplayLines& lines);

    mutable std::mutex mutex;
    DisplayLines pending; // guarded by mutex, as the two below
    bool hasPending = false;
    DisplayLines shown;
};
