// The configuration manager functions over the simulated machine's device
// tree: device instance handles, their ids and status, and machine
// connections. Only the local machine can be reached.
#pragma once
#include "winsim/user/types.h"

typedef DWORD RETURN_TYPE;
typedef RETURN_TYPE CONFIGRET;
typedef DWORD DEVNODE, DEVINST;
typedef DEVNODE *PDEVNODE, *PDEVINST;
typedef WCHAR *DEVNODEID_W, *DEVINSTID_W;
typedef HANDLE HMACHINE;
typedef HMACHINE *PHMACHINE;

#define MAX_DEVICE_ID_LEN 200
#define MAX_CLASS_NAME_LEN 32

#define CR_SUCCESS 0x00000000
#define CR_DEFAULT 0x00000001
#define CR_OUT_OF_MEMORY 0x00000002
#define CR_INVALID_POINTER 0x00000003
#define CR_INVALID_FLAG 0x00000004
#define CR_INVALID_DEVNODE 0x00000005
#define CR_INVALID_DEVINST CR_INVALID_DEVNODE
#define CR_NO_SUCH_DEVNODE 0x0000000D
#define CR_NO_SUCH_DEVINST CR_NO_SUCH_DEVNODE
#define CR_FAILURE 0x00000013
#define CR_BUFFER_SMALL 0x0000001A
#define CR_INVALID_DEVICE_ID 0x0000001E
#define CR_INVALID_DATA 0x0000001F
#define CR_NO_SUCH_VALUE 0x00000025
#define CR_INVALID_MACHINENAME 0x0000002F
#define CR_REMOTE_COMM_FAILURE 0x00000030
#define CR_MACHINE_UNAVAILABLE 0x00000031
#define CR_NO_CM_SERVICES 0x00000032
#define CR_ACCESS_DENIED 0x00000033
#define CR_CALL_NOT_IMPLEMENTED 0x00000034

#define CM_LOCATE_DEVNODE_NORMAL 0x00000000
#define CM_LOCATE_DEVNODE_PHANTOM 0x00000001
#define CM_LOCATE_DEVNODE_CANCELREMOVE 0x00000002
#define CM_LOCATE_DEVNODE_NOVALIDATION 0x00000004
#define CM_LOCATE_DEVNODE_BITS 0x00000007

#define DN_ROOT_ENUMERATED 0x00000001
#define DN_DRIVER_LOADED 0x00000002
#define DN_ENUM_LOADED 0x00000004
#define DN_STARTED 0x00000008
#define DN_HAS_PROBLEM 0x00000400
#define DN_DISABLEABLE 0x00002000
#define DN_REMOVABLE 0x00004000
#define DN_PRIVATE_PROBLEM 0x00008000
#define DN_NT_ENUMERATOR 0x00800000
#define DN_NT_DRIVER 0x01000000

#define CM_PROB_NOT_CONFIGURED 0x00000001
#define CM_PROB_FAILED_START 0x0000000A
#define CM_PROB_DISABLED 0x00000016
#define CM_PROB_FAILED_INSTALL 0x0000001C
#define CM_PROB_HARDWARE_DISABLED 0x0000001D
#define CM_PROB_PHANTOM 0x0000002D

// A null or empty name, or the machine's own, connects to the local machine;
// any other name fails with CR_MACHINE_UNAVAILABLE. Every handle returned
// must be given back to CM_Disconnect_Machine.
CONFIGRET CM_Connect_MachineW(PCWSTR UNCServerName, PHMACHINE phMachine);
CONFIGRET CM_Disconnect_Machine(HMACHINE hMachine);

// A null or empty id locates the root of the tree. Without
// CM_LOCATE_DEVNODE_PHANTOM only present devices are found.
CONFIGRET CM_Locate_DevNode_ExW(PDEVINST pdnDevInst, DEVINSTID_W pDeviceID, ULONG ulFlags,
                                HMACHINE hMachine);
CONFIGRET CM_Locate_DevNodeW(PDEVINST pdnDevInst, DEVINSTID_W pDeviceID, ULONG ulFlags);

// BufferLen is in characters. A buffer too small for the id and its
// terminator gets as much of the id as fits and CR_BUFFER_SMALL.
CONFIGRET CM_Get_Device_ID_ExW(DEVINST dnDevInst, PWCHAR Buffer, ULONG BufferLen, ULONG ulFlags,
                               HMACHINE hMachine);
CONFIGRET CM_Get_Device_IDW(DEVINST dnDevInst, PWCHAR Buffer, ULONG BufferLen, ULONG ulFlags);
// The id's length in characters, terminator not included.
CONFIGRET CM_Get_Device_ID_Size_Ex(PULONG pulLen, DEVINST dnDevInst, ULONG ulFlags,
                                   HMACHINE hMachine);
CONFIGRET CM_Get_Device_ID_Size(PULONG pulLen, DEVINST dnDevInst, ULONG ulFlags);

// CR_NO_SUCH_DEVINST for a device that is not present.
CONFIGRET CM_Get_DevNode_Status_Ex(PULONG pulStatus, PULONG pulProblemNumber, DEVINST dnDevInst,
                                   ULONG ulFlags, HMACHINE hMachine);
CONFIGRET CM_Get_DevNode_Status(PULONG pulStatus, PULONG pulProblemNumber, DEVINST dnDevInst,
                                ULONG ulFlags);
