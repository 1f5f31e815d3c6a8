// "dp_enum": the OEM INFs of the system INF directory with their provider,
// class, signer, date and version.
#include <cwchar>

#include "devcommands/commands.h"
#include "devcommands/devcommands.h"
#include "devcommands/driver_packages.h"
#include "devcommands/messages.h"

namespace devcommands {
namespace {

constexpr DWORD MSG_NO_OEM_INF = 61120;
constexpr DWORD MSG_LIST_HEADER = 61121;
constexpr DWORD MSG_INF_NAME = 61122;
constexpr DWORD MSG_PROVIDER = 61123, MSG_NO_PROVIDER = 61124;
constexpr DWORD MSG_CLASS = 61125, MSG_NO_CLASS = 61126;
constexpr DWORD MSG_VERSION = 61127, MSG_NO_VERSION = 61128;
constexpr DWORD MSG_DATE = 61129, MSG_NO_DATE = 61130;
constexpr DWORD MSG_SIGNER = 61131, MSG_NOT_SIGNED = 61132;

constexpr DWORD kFieldChars = 4096;
constexpr WCHAR kOemPattern[] = L"\\INF\\OEM*.INF";

using VerifyInfFile = BOOL(WINAPI*)(PCWSTR, PSP_ALTPLATFORM_INFO, PSP_INF_SIGNER_INFO_W);

// The signer record as newer SDKs define it, with the signer's score after
// the three texts; the platform fills whichever size it is given.
struct InfSignerInfoV2 {
  SP_INF_SIGNER_INFO_W info;
  DWORD signerScore;
};
static_assert(sizeof(InfSignerInfoV2) == 1568);

// Field `index` of the first `key` line of [Version]; false when either is
// missing.
bool ReadVersionField(HINF inf, const WCHAR* key, DWORD index, WCHAR (&text)[kFieldChars]) {
  INFCONTEXT line;
  return SetupFindFirstLineW(inf, L"Version", key, &line) &&
         SetupGetStringFieldW(&line, index, text, kFieldChars, nullptr);
}

void PrintField(bool found, const WCHAR* text, DWORD foundMessage, DWORD missingMessage) {
  if (found) {
    PrintMessage(stdout, foundMessage, text);
  } else {
    PrintMessage(stdout, missingMessage);
  }
}

void PrintClass(HINF inf) {
  WCHAR text[kFieldChars];
  GUID guid;
  bool found = ReadVersionField(inf, L"ClassGUID", 1, text) &&
               CLSIDFromString(text, &guid) == NOERROR &&
               SetupDiGetClassDescriptionExW(&guid, text, kFieldChars, nullptr, nullptr, nullptr);
  PrintField(found, text, MSG_CLASS, MSG_NO_CLASS);
}

void PrintSigner(const WCHAR* fileName, VerifyInfFile verify) {
  InfSignerInfoV2 signer = {};
  signer.info.cbSize = sizeof signer;
  bool trusted = verify(fileName, nullptr, &signer.info) ||
                 GetLastError() == ERROR_AUTHENTICODE_TRUSTED_PUBLISHER ||
                 GetLastError() == ERROR_AUTHENTICODE_TRUST_NOT_ESTABLISHED;
  PrintField(trusted, signer.info.DigitalSigner, MSG_SIGNER, MSG_NOT_SIGNED);
}

void PrintDateAndVersion(HINF inf) {
  WCHAR text[kFieldChars];
  INFCONTEXT line;
  bool found = SetupFindFirstLineW(inf, L"Version", L"DriverVer", &line);
  PrintField(found && SetupGetStringFieldW(&line, 1, text, kFieldChars, nullptr), text, MSG_DATE,
             MSG_NO_DATE);
  PrintField(found && SetupGetStringFieldW(&line, 2, text, kFieldChars, nullptr), text, MSG_VERSION,
             MSG_NO_VERSION);
}

// The INF is opened by its bare name, which the platform looks up in the
// system INF directory; an INF that cannot be opened gets no details.
void PrintInfDetails(const WCHAR* fileName) {
  HINF inf = SetupOpenInfFileW(fileName, nullptr, INF_STYLE_WIN4, nullptr);
  if (inf == INVALID_HANDLE_VALUE) return;
  WCHAR text[kFieldChars];
  PrintField(ReadVersionField(inf, L"Provider", 1, text), text, MSG_PROVIDER, MSG_NO_PROVIDER);
  PrintClass(inf);
  // Without the signature check the lines that depend on it are left out.
  // setupapi.dll exports the check only under its A and W names; the bare
  // name would never be found and the lines never printed.
  SetupApiFunction verify("SetupVerifyInfFileW");
  if (verify.Available()) {
    PrintSigner(fileName, verify.As<VerifyInfFile>());
    PrintDateAndVersion(inf);
  }
  SetupCloseInfFile(inf);
}

}  // namespace

int DpEnumCommand(const WCHAR*, const WCHAR*, DWORD, int argc, const WCHAR* const*) {
  if (argc > 0) return RESULT_BAD_USAGE;
  WCHAR pattern[kPathChars];
  UINT length = GetWindowsDirectoryW(pattern, kPathChars);
  if (length == 0 || length >= kPathChars) return RESULT_FAILURE;
  if (length + std::wcslen(kOemPattern) + 1 > kPathChars) return RESULT_FAILURE;
  std::wcscat(pattern, kOemPattern);
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(pattern, &found);
  if (search == INVALID_HANDLE_VALUE) {
    PrintMessage(stdout, MSG_NO_OEM_INF);
    return RESULT_SUCCESS;
  }
  PrintMessage(stdout, MSG_LIST_HEADER);
  do {
    PrintMessage(stdout, MSG_INF_NAME, found.cFileName);
    PrintInfDetails(found.cFileName);
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return RESULT_SUCCESS;
}

}  // namespace devcommands
