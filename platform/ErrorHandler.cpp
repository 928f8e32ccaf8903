#include "platform/ErrorHandler.h"

#include "platform/OxString.h"
#include "platform/OxThread.h"
#include "platform/OxTime.h"

#include <cstdio>

namespace Lk {

const char* const OUTPUT_TYPE_PREFIX[4] = {"", "", "ERROR: ", ""};

namespace {

const char* prefixOf(EH_OutputType type) {
    return type >= 0 && type < 4 ? OUTPUT_TYPE_PREFIX[type] : "";
}

} // namespace

void EH_output(EH_OutputType type, const char* text) {
    OxString message = OxString::format("%d-%p: %s", static_cast<int>(getMilliTime()),
                                        OxThread::getCurrentThreadID(), prefixOf(type));
    message += text != nullptr ? text : "";
    message += '\n';
    std::fputs(message.c_str(), stderr);
    std::fflush(stderr);
}

void EH_out(EH_OutputType type, const char* format, ...) {
    va_list args;
    va_start(args, format);
    EH_vout(type, format, args);
    va_end(args);
}

void EH_vout(EH_OutputType type, const char* format, va_list args) {
    for (int bufferSize = 1024; bufferSize <= 32768; bufferSize *= 2) {
        va_list attempt;
        va_copy(attempt, args);
        const int written = EH_out_impl(type, format, attempt, bufferSize);
        va_end(attempt);
        if (written)
            return;
    }
}

int EH_out_impl(EH_OutputType type, const char* format, va_list args, int bufferSize) {
    int fits = 0;
    const OxString text = OxString_format_impl(format, args, bufferSize, fits);
    if (fits)
        EH_output(type, text.c_str());
    return fits;
}

} // namespace Lk
