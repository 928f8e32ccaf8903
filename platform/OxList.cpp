#include "platform/OxList.h"

#include <string>

namespace Lk {

OxString OxStringList::getText() const {
    std::string text;
    for (const OxString& s : list) {
        text += s.c_str();
        text += separator.c_str();
    }
    return OxString(text.c_str(), static_cast<int>(text.size()));
}

} // namespace Lk
