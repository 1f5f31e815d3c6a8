// COM's base types and result codes, and the one COM library function
// programs here call.
#pragma once
#include "winsim/user/types.h"

typedef LONG HRESULT;
typedef WCHAR OLECHAR;
typedef OLECHAR *LPOLESTR;
typedef const OLECHAR *LPCOLESTR;
typedef GUID CLSID;
typedef CLSID *LPCLSID;

#define S_OK ((HRESULT)0x00000000)
#define NOERROR 0
#define E_INVALIDARG ((HRESULT)0x80070057)
#define CO_E_CLASSSTRING ((HRESULT)0x800401F3)
#define SUCCEEDED(hr) (((HRESULT)(hr)) >= 0)
#define FAILED(hr) (((HRESULT)(hr)) < 0)

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" (hex digits of either case) to
// the CLSID; a null string is CLSID_NULL. CO_E_CLASSSTRING for anything
// else, with *pclsid cleared; E_INVALIDARG without pclsid. Windows would
// look a string without braces up as a ProgID: the simulated machine
// registers none, and a program looking up one a test made stops the run.
HRESULT CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid);
