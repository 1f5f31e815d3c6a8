// Reads STRINGTABLE and DIALOG/DIALOGEX resources and LANGUAGE statements
// out of a resource script; other resources (icons, manifests, version
// information, menus) are passed over, since the stand-in does not serve
// them. Throws Error for anything malformed.
#pragma once
#include <string>
#include <vector>

#include "tools/resgen/model.h"

namespace resgen {

void ParseResourceScript(const std::string& path, const std::vector<std::string>& includeDirs,
                         Resources* out);

}  // namespace resgen
