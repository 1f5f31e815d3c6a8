// CLSID text as COM reads it.
#include "winsim/user/ole.h"

#include <string>

#include "winsim/kernel/registry_store.h"
#include "winsim/user/devicedb.h"
#include "winsim/user/fault.h"

namespace {

// HKEY_CLASSES_ROOT as the machine-wide half of it holds ProgIDs.
const wchar_t kClasses[] = L"\\Registry\\Machine\\Software\\Classes\\";

}  // namespace

HRESULT CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid) {
  if (pclsid == nullptr) return E_INVALIDARG;
  *pclsid = CLSID{};
  if (lpsz == nullptr) return NOERROR;
  std::wstring text = lpsz;
  if (winsim::user::devicedb::ParseGuid(text, pclsid)) return NOERROR;
  if (!text.empty() && text[0] != L'{' && winsim::registry::Find(kClasses + text) != nullptr) {
    winsim::user::ProgramFault("CLSIDFromString", "ProgIDs are not modelled");
  }
  return CO_E_CLASSSTRING;
}
