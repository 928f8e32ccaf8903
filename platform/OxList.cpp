#include "platform/OxList.h"

namespace Lk {

OxString OxStringList::getText() const {
    const int separatorLength = separator.length();
    int total = 0;
    for (const OxString& s : list)
        total += s.length() + separatorLength;
    OxString text = OxString::withCapacity(total + 1);
    for (const OxString& s : list) {
        text += s;
        text += separator;
    }
    return text;
}

} // namespace Lk
