// INF services: opening an INF file, finding its sections and lines, and
// reading their fields, as SetupAPI offers them. Only Windows 4 style INF
// files are read (a [Version] section with a "$Windows NT$", "$Chicago$" or
// "$Windows 95$" signature).
#pragma once
#include "winsim/user/types.h"

typedef PVOID HINF;
typedef UINT *PUINT;

typedef struct _INFCONTEXT {
  PVOID Inf;
  PVOID CurrentInf;
  UINT Section;
  UINT Line;
} INFCONTEXT, *PINFCONTEXT;

#define INF_STYLE_NONE 0x00000000
#define INF_STYLE_OLDNT 0x00000001
#define INF_STYLE_WIN4 0x00000002

#define LINE_LEN 256
#define MAX_INF_STRING_LENGTH 4096
#define MAX_INF_SECTION_NAME_LENGTH 255

// Spelled as in setupapi.h of this stand-in, so a file seeing both is fine.
#define ERROR_EXPECTED_SECTION_NAME ((DWORD)0xE0000000)
#define ERROR_BAD_SECTION_NAME_LINE ((DWORD)0xE0000001)
#define ERROR_SECTION_NAME_TOO_LONG ((DWORD)0xE0000002)
#define ERROR_GENERAL_SYNTAX ((DWORD)0xE0000003)
#define ERROR_WRONG_INF_STYLE ((DWORD)0xE0000100)
#define ERROR_SECTION_NOT_FOUND ((DWORD)0xE0000101)
#define ERROR_LINE_NOT_FOUND ((DWORD)0xE0000102)
#define ERROR_CLASS_MISMATCH ((DWORD)0xE0000201)

// A name without a path separator is looked for in %windir%\inf, then in
// %windir%\system32. Fails with INVALID_HANDLE_VALUE: ERROR_FILE_NOT_FOUND
// (or the file system's error), ERROR_WRONG_INF_STYLE when the file is no
// Windows 4 INF or InfStyle lacks INF_STYLE_WIN4, ERROR_CLASS_MISMATCH when
// InfClass is not the [Version] Class, a syntax error with *ErrorLine set to
// the 1-based line.
HINF SetupOpenInfFileW(PCWSTR FileName, PCWSTR InfClass, DWORD InfStyle, PUINT ErrorLine);
VOID SetupCloseInfFile(HINF InfHandle);

// Key NULL: the section's first line. ERROR_LINE_NOT_FOUND when the section
// is missing or empty or no line has the key.
BOOL SetupFindFirstLineW(HINF InfHandle, PCWSTR Section, PCWSTR Key, PINFCONTEXT Context);
BOOL SetupFindNextLine(PINFCONTEXT ContextIn, PINFCONTEXT ContextOut);
BOOL SetupFindNextMatchLineW(PINFCONTEXT ContextIn, PCWSTR Key, PINFCONTEXT ContextOut);

// Fields after the key.
DWORD SetupGetFieldCount(PINFCONTEXT Context);
// Field 0 is the key (empty for a line without one). Sizes are in
// characters with the terminator; a NULL buffer asks for the size only.
BOOL SetupGetStringFieldW(PINFCONTEXT Context, DWORD FieldIndex, PWSTR ReturnBuffer,
                          DWORD ReturnBufferSize, PDWORD RequiredSize);
