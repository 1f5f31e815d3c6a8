// String-table ids of the results the device-changing commands print per
// device; the texts are in device_action_strings.rc.
#pragma once

#define IDS_ENABLED 3000
#define IDS_ENABLED_ON_REBOOT 3001
#define IDS_ENABLE_FAILED 3002
#define IDS_DISABLED 3003
#define IDS_DISABLED_ON_REBOOT 3004
#define IDS_DISABLE_FAILED 3005
#define IDS_RESTARTED 3006
#define IDS_RESTART_REQUIRES_REBOOT 3007
#define IDS_RESTART_FAILED 3008
#define IDS_REMOVED 3009
#define IDS_REMOVED_ON_REBOOT 3010
#define IDS_REMOVE_FAILED 3011
