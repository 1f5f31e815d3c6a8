// The system's message table as far as programs here print it: the texts of
// common system error codes, in US English. Internal to winsim/user.
#pragma once
#include "winsim/user/types.h"

namespace winsim::user::messages {

// The message definition (ending in CR LF, as stored), or nullptr.
const WCHAR* SystemMessage(DWORD id);

}  // namespace winsim::user::messages
