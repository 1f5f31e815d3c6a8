// SetupVerifyInfFileW over the signature records of the run: an INF signed
// through a catalog the system trusts verifies; one signed by an
// Authenticode publisher fails with the publisher's trust yet names it.
#include <algorithm>
#include <cstring>
#include <string>

#include "winsim/user/driver_store.h"
#include "winsim/user/driver_store_internal.h"
#include "winsim/user/fault.h"
#include "winsim/user/inf_source.h"
#include "winsim/user/last_error.h"

namespace store = winsim::user::store;

namespace {

// The record newer SDKs declare: SP_INF_SIGNER_INFO_W and a SignerScore.
constexpr DWORD kSignerInfoV1 = sizeof(SP_INF_SIGNER_INFO_W);
constexpr DWORD kSignerInfoV2 = kSignerInfoV1 + sizeof(DWORD);
constexpr DWORD kScoreWhql = 0x0D000005;
constexpr DWORD kScoreAuthenticode = 0x0F000000;

using winsim::user::Fail;

bool IsAuthenticode(DWORD error) {
  return error == ERROR_AUTHENTICODE_TRUSTED_PUBLISHER ||
         error == ERROR_AUTHENTICODE_TRUST_NOT_ESTABLISHED;
}

template <size_t N>
void CopyField(WCHAR (&field)[N], const std::wstring& text) {
  size_t n = std::min(text.size(), N - 1);
  std::copy_n(text.begin(), n, field);
  field[n] = L'\0';
}

void Report(const store::Signature& s, PSP_INF_SIGNER_INFO_W info) {
  CopyField(info->CatalogFile, s.catalog);
  CopyField(info->DigitalSigner, s.signer);
  // Windows gives no version for an Authenticode signer; none is recorded
  // for the others.
  CopyField(info->DigitalSignerVersion, L"");
  if (info->cbSize == kSignerInfoV2) {
    DWORD score = s.verifyError == 0 ? kScoreWhql : kScoreAuthenticode;
    std::memcpy(reinterpret_cast<BYTE*>(info) + kSignerInfoV1, &score, sizeof score);
  }
}

}  // namespace

BOOL SetupVerifyInfFileW(PCWSTR InfName, PSP_ALTPLATFORM_INFO AltPlatformInfo,
                         PSP_INF_SIGNER_INFO_W InfSignerInfo) {
  if (InfName == nullptr || InfSignerInfo == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if (InfSignerInfo->cbSize != kSignerInfoV1 && InfSignerInfo->cbSize != kSignerInfoV2) {
    return Fail(ERROR_INVALID_USER_BUFFER);
  }
  if (AltPlatformInfo != nullptr) {
    winsim::user::ProgramFault("SetupVerifyInfFileW",
                               "verifying for another platform is not modelled");
  }
  std::string bytes;
  std::wstring path;
  DWORD error = winsim::user::inf::ReadInfFile(InfName, &bytes, &path);
  if (error != ERROR_SUCCESS) return Fail(error);
  const store::Signature* s = store::SignatureOf(path);
  if (s == nullptr) return Fail(ERROR_NO_CATALOG_FOR_OEM_INF);
  if (s->verifyError != ERROR_SUCCESS && !IsAuthenticode(s->verifyError)) {
    return Fail(s->verifyError);
  }
  Report(*s, InfSignerInfo);
  if (s->verifyError != ERROR_SUCCESS) return Fail(s->verifyError);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}
