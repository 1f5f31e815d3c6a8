// What the driver store's functions share: where the store is, which names
// are third-party INFs, and the signature records a run keeps. Internal to
// winsim/user.
#pragma once
#include <string>
#include <vector>

#include "winsim/user/types.h"

namespace winsim::user::store {

// C:\Windows\INF, and <name> in it.
std::wstring InfDirectory();
std::wstring InStore(const std::wstring& name);

// oem*.inf without a path, ignoring case.
bool IsOemInfName(const std::wstring& name);

// The oem*.inf files in the store, as the directory lists them.
std::vector<std::wstring> OemInfNames();

// The precompiled file beside an INF: oem3.inf -> oem3.PNF.
std::wstring PnfName(const std::wstring& infName);

struct Signature {
  std::wstring signer;
  std::wstring catalog;  // full path of the catalog that signs the INF
  DWORD verifyError = 0;
};

// The record for the INF at a full path, or nullptr when it is unsigned.
const Signature* SignatureOf(const std::wstring& fullPath);
void ForgetSignature(const std::wstring& fullPath);

}  // namespace winsim::user::store
