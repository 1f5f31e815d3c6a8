// A function driver that passes every request down: enough for a Plug and
// Play stack under the card reader's PDO. It logs the Plug and Play requests
// it sees and can refuse query-remove, as a driver with a busy device does.
#pragma once
#include <string>
#include <vector>

#include "platform/kernel.h"

namespace passdriver {

// Installed for the card reader's hardware id under the service "korvtest".
// Call inside a run; the state below is reset by it.
void Install();

// "start", "query-remove", "cancel-remove", "remove", ... in order.
std::vector<std::string>& Log();
// Refuse IRP_MN_QUERY_REMOVE_DEVICE with STATUS_DEVICE_BUSY.
void RefuseQueryRemove(bool refuse);

}  // namespace passdriver
