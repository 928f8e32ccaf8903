#pragma once

#include "platform/OxString.h"

// Port names reduced to a common form, so that the input and the output of one device
// can be recognised as belonging together ("Keys In" / "Keys Out", "From Keys" /
// "To Keys", "2- Keys").

namespace Lk {

OxString RemoveWindowsNumberedPrefix(const OxString& name);
OxString getNormalizedMIDIPortName(const OxString& name, int isInput);
int GetLengthOfCommonBeginning(const wchar_t* a, const wchar_t* b, int trimTrailingBlanks);
int RemoveNonCommonPrefix(const wchar_t** a, const wchar_t** b, int skipBlanks);
OxString getPortNameCommonString(const OxString& a, const OxString& b);

} // namespace Lk
