// SetupCopyOEMInfW: a third-party INF into the store under the next free
// oem<N>.inf, or the name an identical copy already has there.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "winsim/machine/files.h"
#include "winsim/user/driver_store.h"
#include "winsim/user/driver_store_internal.h"
#include "winsim/user/fault.h"
#include "winsim/user/inf.h"
#include "winsim/user/last_error.h"
#include "winsim/user/strings.h"

namespace store = winsim::user::store;

namespace {

constexpr char kCall[] = "SetupCopyOEMInfW";
constexpr DWORD kCopyStyles =
    SP_COPY_DELETESOURCE | SP_COPY_REPLACEONLY | SP_COPY_NOOVERWRITE | SP_COPY_OEMINF_CATALOG_ONLY;

// What Windows keeps precompiled beside an INF; nothing here reads it back.
constexpr char kPnfMarker[] = "PNF\x01\x03 winsim precompiled INF\r\n";

using winsim::user::Fail;

// ERROR_SUCCESS, or why the arguments are refused before anything is read.
DWORD CheckArguments(PCWSTR source, DWORD mediaType, DWORD copyStyle, PWSTR buffer, DWORD size) {
  if (source == nullptr || *source == L'\0') return ERROR_INVALID_PARAMETER;
  if (buffer == nullptr && size != 0) return ERROR_INVALID_PARAMETER;
  if (mediaType >= SPOST_MAX) return ERROR_INVALID_PARAMETER;
  if (copyStyle & ~kCopyStyles) return ERROR_INVALID_FLAGS;
  if (mediaType == SPOST_URL) winsim::user::ProgramFault(kCall, "SPOST_URL is not modelled");
  if (copyStyle & ~DWORD{SP_COPY_NOOVERWRITE}) {
    winsim::user::ProgramFault(kCall,
                               "copy styles other than SP_COPY_NOOVERWRITE are not modelled");
  }
  return ERROR_SUCCESS;
}

// Reads the source and checks that it is an INF as SetupOpenInfFileW reads
// one; ERROR_SUCCESS or the error either step gave.
DWORD ReadInf(const std::wstring& path, std::vector<uint8_t>* bytes) {
  DWORD error = winsim::machine::ReadWholeFile(path, bytes);
  if (error != ERROR_SUCCESS) return error;
  HINF inf = SetupOpenInfFileW(path.c_str(), nullptr, INF_STYLE_WIN4, nullptr);
  if (inf == INVALID_HANDLE_VALUE) return GetLastError();
  SetupCloseInfFile(inf);
  return ERROR_SUCCESS;
}

bool SameContents(const std::wstring& name, const std::vector<uint8_t>& bytes) {
  std::vector<uint8_t> stored;
  return winsim::machine::ReadWholeFile(store::InStore(name), &stored) == ERROR_SUCCESS &&
         stored == bytes;
}

// The store's name for an identical INF: an oem*.inf first, then one under
// the source's own name; empty when there is none.
std::wstring IdenticalInStore(const std::vector<uint8_t>& bytes, const std::wstring& sourceName) {
  for (const std::wstring& name : store::OemInfNames()) {
    if (SameContents(name, bytes)) return name;
  }
  for (const std::wstring& name : winsim::machine::ListDirectory(store::InfDirectory())) {
    if (winsim::user::SameNoCase(name, sourceName) && SameContents(name, bytes)) return name;
  }
  return {};
}

std::wstring NextFreeName() {
  for (unsigned n = 0;; ++n) {
    std::wstring name = L"oem" + std::to_wstring(n) + L".inf";
    if (!winsim::machine::FileExists(store::InStore(name))) return name;
  }
}

std::wstring CopyIntoStore(const std::vector<uint8_t>& bytes) {
  std::wstring name = NextFreeName();
  winsim::machine::PutFile(store::InStore(name), std::string(bytes.begin(), bytes.end()));
  winsim::machine::PutFile(store::InStore(store::PnfName(name)), kPnfMarker);
  return name;
}

// Reports the destination's full path; the BOOL the call returns.
BOOL Report(const std::wstring& name, PWSTR buffer, DWORD size, PDWORD required, PWSTR* component) {
  std::wstring path = store::InStore(name);
  DWORD needed = static_cast<DWORD>(path.size() + 1);
  if (required != nullptr) *required = needed;
  if (buffer != nullptr && size < needed) return Fail(ERROR_INSUFFICIENT_BUFFER);
  if (buffer != nullptr) std::copy(path.c_str(), path.c_str() + needed, buffer);
  if (component != nullptr) {
    *component = buffer == nullptr ? nullptr : buffer + (path.size() - name.size());
  }
  return TRUE;
}

std::wstring FileNameOf(const std::wstring& path) {
  size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

}  // namespace

BOOL SetupCopyOEMInfW(PCWSTR SourceInfFileName, PCWSTR OEMSourceMediaLocation,
                      DWORD OEMSourceMediaType, DWORD CopyStyle, PWSTR DestinationInfFileName,
                      DWORD DestinationInfFileNameSize, PDWORD RequiredSize,
                      PWSTR* DestinationInfFileNameComponent) {
  // The source media location would only go into the .PNF, which keeps none.
  (void)OEMSourceMediaLocation;
  DWORD error = CheckArguments(SourceInfFileName, OEMSourceMediaType, CopyStyle,
                               DestinationInfFileName, DestinationInfFileNameSize);
  if (error != ERROR_SUCCESS) return Fail(error);
  std::wstring source = winsim::user::FullPath(SourceInfFileName);
  std::vector<uint8_t> bytes;
  error = ReadInf(source, &bytes);
  if (error != ERROR_SUCCESS) return Fail(error);

  std::wstring name = IdenticalInStore(bytes, FileNameOf(source));
  bool existed = !name.empty();
  if (!existed) name = CopyIntoStore(bytes);
  if (!Report(name, DestinationInfFileName, DestinationInfFileNameSize, RequiredSize,
              DestinationInfFileNameComponent)) {
    return FALSE;
  }
  if (existed && (CopyStyle & SP_COPY_NOOVERWRITE)) return Fail(ERROR_FILE_EXISTS);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}
