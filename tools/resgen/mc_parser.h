// Reads a message compiler source (.mc, UTF-8): MessageIdTypedef,
// SeverityNames, FacilityNames, LanguageNames, and messages with
// MessageId, Severity, Facility, SymbolicName and one Language= text per
// language, each ended by a line holding a single ".". Texts are stored as
// windmc stores them: every line ends in the line break it has in the file.
#pragma once
#include <string>

#include "tools/resgen/model.h"

namespace resgen {

void ParseMessageFile(const std::string& path, Resources* out);

}  // namespace resgen
