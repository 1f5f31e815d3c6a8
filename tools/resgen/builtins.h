// Names a resource script takes from the system headers it includes
// (<windows.h>, <winres.h>): window, dialog and control styles, language
// and sublanguage ids, dialog result ids. The values come from the host
// build's own Win32 stand-in.
#pragma once
#include <optional>
#include <string>

namespace resgen {

std::optional<unsigned> Builtin(const std::string& name);

}  // namespace resgen
