// SetupAPI over the simulated machine's device database: device information
// sets, device registry properties and setup classes. Sizes, structures and
// error codes are the documented ones; only the local machine can be reached.
#pragma once
#include "winsim/user/errors.h"
#include "winsim/user/types.h"

struct HWND__;
typedef HWND__ *HWND;
typedef GUID *LPGUID;
typedef PVOID HDEVINFO;

#ifndef MAX_PATH
#define MAX_PATH 260
#endif
#define SP_MAX_MACHINENAME_LENGTH (MAX_PATH + 3)

#define DIGCF_DEFAULT 0x00000001
#define DIGCF_PRESENT 0x00000002
#define DIGCF_ALLCLASSES 0x00000004
#define DIGCF_PROFILE 0x00000008
#define DIGCF_DEVICEINTERFACE 0x00000010

#define DIOD_INHERIT_CLASSDRVS 0x00000002
#define DIOD_CANCEL_REMOVE 0x00000004

#define DIBCI_NOINSTALLCLASS 0x00000001
#define DIBCI_NODISPLAYCLASS 0x00000002

#define SPDRP_DEVICEDESC 0x00000000
#define SPDRP_HARDWAREID 0x00000001
#define SPDRP_COMPATIBLEIDS 0x00000002
#define SPDRP_UNUSED0 0x00000003
#define SPDRP_SERVICE 0x00000004
#define SPDRP_UNUSED1 0x00000005
#define SPDRP_UNUSED2 0x00000006
#define SPDRP_CLASS 0x00000007
#define SPDRP_CLASSGUID 0x00000008
#define SPDRP_DRIVER 0x00000009
#define SPDRP_CONFIGFLAGS 0x0000000A
#define SPDRP_MFG 0x0000000B
#define SPDRP_FRIENDLYNAME 0x0000000C
#define SPDRP_LOCATION_INFORMATION 0x0000000D
#define SPDRP_PHYSICAL_DEVICE_OBJECT_NAME 0x0000000E
#define SPDRP_CAPABILITIES 0x0000000F
#define SPDRP_UI_NUMBER 0x00000010
#define SPDRP_UPPERFILTERS 0x00000011
#define SPDRP_LOWERFILTERS 0x00000012
#define SPDRP_BUSTYPEGUID 0x00000013
#define SPDRP_LEGACYBUSTYPE 0x00000014
#define SPDRP_BUSNUMBER 0x00000015
#define SPDRP_ENUMERATOR_NAME 0x00000016
#define SPDRP_UI_NUMBER_DESC_FORMAT 0x0000001D
#define SPDRP_MAXIMUM_PROPERTY 0x00000024

// System error codes of device installation (customer bit and error
// severity set), and two general ones the functions here report.
#ifndef ERROR_INVALID_DATA
#define ERROR_INVALID_DATA 13L
#endif
#ifndef ERROR_INVALID_FLAGS
#define ERROR_INVALID_FLAGS 1004L
#endif
#define ERROR_CLASS_MISMATCH ((DWORD)0xE0000201)
#define ERROR_INVALID_CLASS ((DWORD)0xE0000206)
#define ERROR_INVALID_REG_PROPERTY ((DWORD)0xE0000209)
#define ERROR_NO_SUCH_DEVINST ((DWORD)0xE000020B)
#define ERROR_INVALID_MACHINENAME ((DWORD)0xE0000220)
#define ERROR_REMOTE_COMM_FAILURE ((DWORD)0xE0000221)
#define ERROR_MACHINE_UNAVAILABLE ((DWORD)0xE0000222)
#define ERROR_NO_CONFIGMGR_SERVICES ((DWORD)0xE0000223)

typedef struct _SP_DEVINFO_DATA {
  DWORD cbSize;
  GUID ClassGuid;
  DWORD DevInst;
  ULONG_PTR Reserved;
} SP_DEVINFO_DATA, *PSP_DEVINFO_DATA;
static_assert(sizeof(SP_DEVINFO_DATA) == 32);

// 560 bytes, as on x64 Windows, where the name has SP_MAX_MACHINENAME_LENGTH
// two-byte characters. The host's WCHAR is four bytes, so the same bytes hold
// fewer characters here; cbSize is what callers and the check agree on.
typedef struct _SP_DEVINFO_LIST_DETAIL_DATA_W {
  DWORD cbSize;
  GUID ClassGuid;
  HANDLE RemoteMachineHandle;
  WCHAR RemoteMachineName[(560 - 32) / sizeof(WCHAR)];
} SP_DEVINFO_LIST_DETAIL_DATA_W, *PSP_DEVINFO_LIST_DETAIL_DATA_W;
static_assert(sizeof(SP_DEVINFO_LIST_DETAIL_DATA_W) == 560);
static_assert(offsetof(SP_DEVINFO_LIST_DETAIL_DATA_W, RemoteMachineName) == 32);

// ---- device information sets ---------------------------------------------

// Without DIGCF_ALLCLASSES a class GUID is required and selects the class;
// with it the GUID is ignored. Enumerator names the first part of the
// instance ids ("USB", "ROOT"). DIGCF_DEVICEINTERFACE is not modelled.
HDEVINFO SetupDiGetClassDevsExW(const GUID *ClassGuid, PCWSTR Enumerator, HWND hwndParent,
                                DWORD Flags, HDEVINFO DeviceInfoSet, PCWSTR MachineName,
                                PVOID Reserved);
HDEVINFO SetupDiGetClassDevsW(const GUID *ClassGuid, PCWSTR Enumerator, HWND hwndParent,
                              DWORD Flags);
HDEVINFO SetupDiCreateDeviceInfoListExW(const GUID *ClassGuid, HWND hwndParent, PCWSTR MachineName,
                                        PVOID Reserved);
HDEVINFO SetupDiCreateDeviceInfoList(const GUID *ClassGuid, HWND hwndParent);
BOOL SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet);
BOOL SetupDiGetDeviceInfoListDetailW(HDEVINFO DeviceInfoSet,
                                     PSP_DEVINFO_LIST_DETAIL_DATA_W DeviceInfoSetDetailData);

// Opens present and non-present devices alike; a null or empty id is the
// root of the tree. With a bad DeviceInfoData the device is still added.
BOOL SetupDiOpenDeviceInfoW(HDEVINFO DeviceInfoSet, PCWSTR DeviceInstanceId, HWND hwndParent,
                            DWORD OpenFlags, PSP_DEVINFO_DATA DeviceInfoData);
BOOL SetupDiEnumDeviceInfo(HDEVINFO DeviceInfoSet, DWORD MemberIndex,
                           PSP_DEVINFO_DATA DeviceInfoData);
BOOL SetupDiGetDeviceInstanceIdW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                 PWSTR DeviceInstanceId, DWORD DeviceInstanceIdSize,
                                 PDWORD RequiredSize);

// Sizes in bytes. The type and the size needed are reported on
// ERROR_INSUFFICIENT_BUFFER too; a property the device lacks is
// ERROR_INVALID_DATA.
BOOL SetupDiGetDeviceRegistryPropertyW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                       DWORD Property, PDWORD PropertyRegDataType,
                                       PBYTE PropertyBuffer, DWORD PropertyBufferSize,
                                       PDWORD RequiredSize);

// ---- setup classes ---------------------------------------------------------

// Sizes in GUIDs or characters; RequiredSize is always reported.
BOOL SetupDiClassGuidsFromNameExW(PCWSTR ClassName, LPGUID ClassGuidList, DWORD ClassGuidListSize,
                                  PDWORD RequiredSize, PCWSTR MachineName, PVOID Reserved);
BOOL SetupDiClassGuidsFromNameW(PCWSTR ClassName, LPGUID ClassGuidList, DWORD ClassGuidListSize,
                                PDWORD RequiredSize);
BOOL SetupDiBuildClassInfoListExW(DWORD Flags, LPGUID ClassGuidList, DWORD ClassGuidListSize,
                                  PDWORD RequiredSize, PCWSTR MachineName, PVOID Reserved);
BOOL SetupDiGetClassDescriptionExW(const GUID *ClassGuid, PWSTR ClassDescription,
                                   DWORD ClassDescriptionSize, PDWORD RequiredSize,
                                   PCWSTR MachineName, PVOID Reserved);
BOOL SetupDiClassNameFromGuidExW(const GUID *ClassGuid, PWSTR ClassName, DWORD ClassNameSize,
                                 PDWORD RequiredSize, PCWSTR MachineName, PVOID Reserved);

// ---- class installer -------------------------------------------------------

typedef UINT DI_FUNCTION;
#define DIF_REMOVE 0x00000005
#define DIF_PROPERTYCHANGE 0x00000012

#define DI_REMOVEDEVICE_GLOBAL 0x00000001
#define DI_REMOVEDEVICE_CONFIGSPECIFIC 0x00000002

#define DICS_ENABLE 0x00000001
#define DICS_DISABLE 0x00000002
#define DICS_PROPCHANGE 0x00000003
#define DICS_START 0x00000004
#define DICS_STOP 0x00000005
#define DICS_FLAG_GLOBAL 0x00000001
#define DICS_FLAG_CONFIGSPECIFIC 0x00000002
#define DICS_FLAG_CONFIGGENERAL 0x00000004

#define DI_NEEDRESTART 0x00000080
#define DI_NEEDREBOOT 0x00000100
#define DI_CLASSINSTALLPARAMS 0x00100000

#define ERROR_NO_CLASSINSTALL_PARAMS ((DWORD)0xE0000215)
#define ERROR_DI_DO_DEFAULT ((DWORD)0xE000020E)
#define ERROR_INVALID_HWPROFILE ((DWORD)0xE0000210)
#define ERROR_NOT_DISABLEABLE ((DWORD)0xE0000231)

typedef struct _SP_CLASSINSTALL_HEADER {
  DWORD cbSize;
  DI_FUNCTION InstallFunction;
} SP_CLASSINSTALL_HEADER, *PSP_CLASSINSTALL_HEADER;

typedef struct _SP_REMOVEDEVICE_PARAMS {
  SP_CLASSINSTALL_HEADER ClassInstallHeader;
  DWORD Scope;
  DWORD HwProfile;
} SP_REMOVEDEVICE_PARAMS, *PSP_REMOVEDEVICE_PARAMS;

typedef struct _SP_PROPCHANGE_PARAMS {
  SP_CLASSINSTALL_HEADER ClassInstallHeader;
  DWORD StateChange;
  DWORD Scope;
  DWORD HwProfile;
} SP_PROPCHANGE_PARAMS, *PSP_PROPCHANGE_PARAMS;

// 584 bytes, as on x64 Windows; the path holds fewer of the host's
// four-byte characters (see SP_DEVINFO_LIST_DETAIL_DATA_W).
typedef struct _SP_DEVINSTALL_PARAMS_W {
  DWORD cbSize;
  DWORD Flags;
  DWORD FlagsEx;
  HWND hwndParent;
  PVOID InstallMsgHandler;
  PVOID InstallMsgHandlerContext;
  PVOID FileQueue;
  ULONG_PTR ClassInstallReserved;
  DWORD Reserved;
  WCHAR DriverPath[(584 - 60) / sizeof(WCHAR)];
} SP_DEVINSTALL_PARAMS_W, *PSP_DEVINSTALL_PARAMS_W;
static_assert(sizeof(SP_DEVINSTALL_PARAMS_W) == 584);
static_assert(offsetof(SP_DEVINSTALL_PARAMS_W, DriverPath) == 60);

// Class install parameters of the set (DeviceInfoData null) or of one
// device; a null buffer with size 0 clears them. The header's cbSize is
// sizeof(SP_CLASSINSTALL_HEADER); the size is the whole record's.
BOOL SetupDiSetClassInstallParamsW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                   PSP_CLASSINSTALL_HEADER ClassInstallParams,
                                   DWORD ClassInstallParamsSize);
BOOL SetupDiGetClassInstallParamsW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                   PSP_CLASSINSTALL_HEADER ClassInstallParams,
                                   DWORD ClassInstallParamsSize, PDWORD RequiredSize);

// DIF_REMOVE and DIF_PROPERTYCHANGE act on the machine's device tree the way
// the default handlers do: a running stack is asked to go (query-remove) and
// removed through the Plug and Play manager; a stack that refuses leaves the
// change for the next restart and DI_NEEDREBOOT in the device's install
// parameters. Other install functions are not modelled and are refused
// with ERROR_INVALID_PARAMETER.
BOOL SetupDiCallClassInstaller(DI_FUNCTION InstallFunction, HDEVINFO DeviceInfoSet,
                               PSP_DEVINFO_DATA DeviceInfoData);

BOOL SetupDiGetDeviceInstallParamsW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                    PSP_DEVINSTALL_PARAMS_W DeviceInstallParams);
BOOL SetupDiSetDeviceInstallParamsW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                    PSP_DEVINSTALL_PARAMS_W DeviceInstallParams);
