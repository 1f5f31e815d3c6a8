// The machine's driver store (C:\Windows\INF) seen from tests and the
// simulator: the third-party INFs it holds and how their signatures verify.
// Call these inside a run; signature records last for that run.
#pragma once
#if defined(KORV_DRIVER)
#error "winsim/machine is for the stand-in, tests and the simulator, not for drivers"
#endif

#include <string>
#include <vector>

#include "winsim/user/types.h"

namespace winsim::machine {

// How SetupVerifyInfFileW finds the signature of an INF: `inf` is a name in
// C:\Windows\INF or a path. With verifyError 0 the INF verifies, signed by
// `signer`. ERROR_AUTHENTICODE_TRUSTED_PUBLISHER and
// ERROR_AUTHENTICODE_TRUST_NOT_ESTABLISHED stand for an Authenticode
// signature: verification fails with that error yet reports the signer. Any
// other code fails verification with nothing reported. An INF without a
// record has no catalog. SetupUninstallOEMInfW drops the record with the INF.
void SignInf(const std::wstring& inf, const std::wstring& signer, DWORD verifyError = 0);

// The oem*.inf files in C:\Windows\INF, in the order the directory lists them.
std::vector<std::wstring> OemInfs();

}  // namespace winsim::machine
