// The driver store as SetupAPI offers it to programs: third-party INF files
// copied into %windir%\INF as oem<N>.inf, removed again, and their digital
// signatures verified. Records and values as the toolchain's setupapi.h has
// them; a record newer SDKs lengthen is accepted at either size.
#pragma once
#include <cstddef>

#include "winsim/user/errors.h"
#include "winsim/user/paths.h"
#include "winsim/user/setupapi.h"
#include "winsim/user/types.h"

#define ERROR_NO_CATALOG_FOR_OEM_INF ((DWORD)0xE000022F)
#define ERROR_NOT_AN_INSTALLED_OEM_INF ((DWORD)0xE000023C)
#define ERROR_INF_IN_USE_BY_DEVICES ((DWORD)0xE000023D)
#define ERROR_AUTHENTICODE_DISALLOWED ((DWORD)0xE0000240)
#define ERROR_AUTHENTICODE_TRUSTED_PUBLISHER ((DWORD)0xE0000241)
#define ERROR_AUTHENTICODE_TRUST_NOT_ESTABLISHED ((DWORD)0xE0000242)
#define ERROR_AUTHENTICODE_PUBLISHER_NOT_TRUSTED ((DWORD)0xE0000243)

// Where an INF's source media is.
#define SPOST_NONE 0
#define SPOST_PATH 1
#define SPOST_URL 2
#define SPOST_MAX 3

// The copy styles SetupCopyOEMInfW documents.
#define SP_COPY_DELETESOURCE 0x0000001
#define SP_COPY_REPLACEONLY 0x0000002
#define SP_COPY_NOOVERWRITE 0x0000008
#define SP_COPY_OEMINF_CATALOG_ONLY 0x0040000

#define SUOI_FORCEDELETE 0x00000001

typedef struct _SP_ALTPLATFORM_INFO_V1 {
  DWORD cbSize;
  DWORD Platform;
  DWORD MajorVersion;
  DWORD MinorVersion;
  WORD ProcessorArchitecture;
  WORD Reserved;
} SP_ALTPLATFORM_INFO_V1, *PSP_ALTPLATFORM_INFO_V1;

typedef struct _SP_ALTPLATFORM_INFO_V2 {
  DWORD cbSize;
  DWORD Platform;
  DWORD MajorVersion;
  DWORD MinorVersion;
  WORD ProcessorArchitecture;
  union {
    WORD Reserved;
    WORD Flags;
  };
  DWORD FirstValidatedMajorVersion;
  DWORD FirstValidatedMinorVersion;
} SP_ALTPLATFORM_INFO_V2, *PSP_ALTPLATFORM_INFO_V2;

typedef SP_ALTPLATFORM_INFO_V2 SP_ALTPLATFORM_INFO;
typedef PSP_ALTPLATFORM_INFO_V2 PSP_ALTPLATFORM_INFO;

// 1564 bytes, as on x64 Windows, where each text holds MAX_PATH two-byte
// characters; the host's four-byte WCHAR holds half as many in the same
// bytes. Newer SDKs append a DWORD SignerScore (1568 bytes); both sizes are
// accepted in cbSize.
typedef struct _SP_INF_SIGNER_INFO_W {
  DWORD cbSize;
  WCHAR CatalogFile[MAX_PATH * 2 / sizeof(WCHAR)];
  WCHAR DigitalSigner[MAX_PATH * 2 / sizeof(WCHAR)];
  WCHAR DigitalSignerVersion[MAX_PATH * 2 / sizeof(WCHAR)];
} SP_INF_SIGNER_INFO_W, *PSP_INF_SIGNER_INFO_W;
static_assert(sizeof(SP_INF_SIGNER_INFO_W) == 1564);
static_assert(offsetof(SP_INF_SIGNER_INFO_W, DigitalSigner) == 524);
static_assert(offsetof(SP_INF_SIGNER_INFO_W, DigitalSignerVersion) == 1044);

// Copies an INF into %windir%\INF as the lowest free oem<N>.inf with a
// precompiled oem<N>.PNF beside it, unless an identical INF is already
// there as oem*.inf or under the source's own name: then that one is
// reported. The full destination path goes into DestinationInfFileName
// (size in characters); *RequiredSize gets its size with the terminator.
// Fails with the error reading the source gave (ERROR_FILE_NOT_FOUND,
// ERROR_PATH_NOT_FOUND, ...), the INF parser's error for a file that is no
// Windows 4 INF, ERROR_INVALID_PARAMETER for a missing source name, a
// media type past SPOST_URL or a size without a buffer, ERROR_INVALID_FLAGS
// for a copy style outside the documented four. A buffer too small fails
// with ERROR_INSUFFICIENT_BUFFER once the copy is made; with
// SP_COPY_NOOVERWRITE an INF already there fails with ERROR_FILE_EXISTS and
// its name reported. SPOST_URL and the copy styles other than
// SP_COPY_NOOVERWRITE are not modelled: a call with them stops the run.
BOOL SetupCopyOEMInfW(PCWSTR SourceInfFileName, PCWSTR OEMSourceMediaLocation,
                      DWORD OEMSourceMediaType, DWORD CopyStyle, PWSTR DestinationInfFileName,
                      DWORD DestinationInfFileNameSize, PDWORD RequiredSize,
                      PWSTR *DestinationInfFileNameComponent);

// Deletes oem*.inf (a name without a path) from %windir%\INF with its .PNF
// and its signature. ERROR_NOT_AN_INSTALLED_OEM_INF for any other name or
// one the store lacks; ERROR_INF_IN_USE_BY_DEVICES while a device node,
// present or not, has a driver key whose InfPath names it, unless
// SUOI_FORCEDELETE; ERROR_INVALID_FLAGS for other flags;
// ERROR_INVALID_PARAMETER for a Reserved argument; the file system's error
// when the file cannot be deleted.
BOOL SetupUninstallOEMInfW(PCWSTR InfFileName, DWORD Flags, PVOID Reserved);

// Verifies an INF's signature; a name without a path is looked for as
// SetupOpenInfFileW does. The signer and catalog are reported for a
// verified INF and, with the error, for one signed by an Authenticode
// publisher (ERROR_AUTHENTICODE_TRUSTED_PUBLISHER,
// ERROR_AUTHENTICODE_TRUST_NOT_ESTABLISHED). ERROR_NO_CATALOG_FOR_OEM_INF for
// an unsigned INF, the file system's error for a missing one,
// ERROR_INVALID_USER_BUFFER for a cbSize of neither record size,
// ERROR_INVALID_PARAMETER for a missing name or record. Verifying for
// another platform is not modelled: a call with AltPlatformInfo stops the run.
BOOL SetupVerifyInfFileW(PCWSTR InfName, PSP_ALTPLATFORM_INFO AltPlatformInfo,
                         PSP_INF_SIGNER_INFO_W InfSignerInfo);
