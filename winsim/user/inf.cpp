// The Setup* INF functions over the parser. An HINF is the address of an
// open file's record; a handle that is not open stops the run, as using a
// freed one would corrupt a real process.
#include "winsim/user/inf.h"

#include <algorithm>
#include <memory>
#include <set>
#include <string>

#include "winsim/kernel/sim.h"
#include "winsim/user/errors.h"
#include "winsim/user/fault.h"
#include "winsim/user/inf_parser.h"
#include "winsim/user/inf_source.h"
#include "winsim/user/last_error.h"
#include "winsim/user/resources.h"

namespace wu = winsim::user;
namespace inf = winsim::user::inf;

namespace {

struct OpenInf {
  inf::File file;
};

std::set<OpenInf*>& OpenInfs() {
  static std::set<OpenInf*> open;
  return open;
}

void ResetInfs() {
  for (OpenInf* f : OpenInfs()) delete f;
  OpenInfs().clear();
}

OpenInf* Register(std::unique_ptr<OpenInf> f) {
  static bool registered = false;
  if (!registered) {
    winsim::kernel::RegisterRunState("INF handle(s)", ResetInfs,
                                     [] { return static_cast<LONG>(OpenInfs().size()); });
    registered = true;
  }
  return *OpenInfs().insert(f.release()).first;
}

OpenInf* Lookup(const char* call, PVOID handle) {
  auto it = OpenInfs().find(static_cast<OpenInf*>(handle));
  if (it == OpenInfs().end()) wu::ProgramFault(call, "not an open INF handle");
  return *it;
}

const inf::Section& SectionOf(const char* call, const INFCONTEXT* c) {
  if (c == nullptr) wu::ProgramFault(call, "no context");
  OpenInf* f = Lookup(call, c->Inf);
  if (c->Section >= f->file.sections.size() ||
      c->Line >= f->file.sections[c->Section].lines.size()) {
    wu::ProgramFault(call, "context does not name a line of the INF");
  }
  return f->file.sections[c->Section];
}

const inf::Line& LineOf(const char* call, const INFCONTEXT* c) {
  return SectionOf(call, c).lines[c->Line];
}

using winsim::user::Fail;

HINF FailOpen(DWORD error, UINT line, PUINT errorLine) {
  if (errorLine != nullptr) *errorLine = line;
  SetLastError(error);
  return static_cast<HINF>(INVALID_HANDLE_VALUE);
}

// The first line at or after `from` whose key matches (any line when key is
// NULL), or the section's size.
UINT Match(const inf::Section& s, UINT from, PCWSTR key) {
  for (UINT i = from; i < s.lines.size(); ++i) {
    if (key == nullptr || (s.lines[i].hasKey && inf::SameNoCase(s.lines[i].key, key))) return i;
  }
  return static_cast<UINT>(s.lines.size());
}

BOOL FindFrom(const char* call, PINFCONTEXT in, UINT from, PCWSTR key, PINFCONTEXT out) {
  const inf::Section& s = SectionOf(call, in);
  if (out == nullptr) wu::ProgramFault(call, "no output context");
  UINT i = Match(s, from, key);
  if (i == s.lines.size()) return Fail(ERROR_LINE_NOT_FOUND);
  *out = *in;
  out->Line = i;
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

bool MatchesClass(const inf::File& file, PCWSTR infClass) {
  const inf::Section* version = inf::FindSection(file, L"Version");
  if (version != nullptr) {
    for (const inf::Line& l : version->lines) {
      if (l.hasKey && inf::SameNoCase(l.key, L"Class") && !l.fields.empty()) {
        return inf::SameNoCase(l.fields[0], infClass);
      }
    }
  }
  // Windows would then look the class name up by the INF's ClassGUID.
  wu::ProgramFault("SetupOpenInfFileW", "a class filter for an INF without Class= is not modelled");
}

}  // namespace

HINF SetupOpenInfFileW(PCWSTR FileName, PCWSTR InfClass, DWORD InfStyle, PUINT ErrorLine) {
  if (ErrorLine != nullptr) *ErrorLine = 0;
  if (FileName == nullptr) return FailOpen(ERROR_INVALID_PARAMETER, 0, ErrorLine);
  std::string bytes;
  DWORD error = inf::ReadInfFile(FileName, &bytes);
  if (error != ERROR_SUCCESS) return FailOpen(error, 0, ErrorLine);

  auto f = std::make_unique<OpenInf>();
  inf::ParseResult parsed = inf::Parse(inf::DecodeText(bytes), wu::UserUILanguage(), &f->file);
  if (parsed.error != ERROR_SUCCESS) return FailOpen(parsed.error, parsed.errorLine, ErrorLine);
  if ((InfStyle & INF_STYLE_WIN4) == 0 || !inf::HasWin4Signature(f->file)) {
    return FailOpen(ERROR_WRONG_INF_STYLE, 0, ErrorLine);
  }
  if (InfClass != nullptr && !MatchesClass(f->file, InfClass)) {
    return FailOpen(ERROR_CLASS_MISMATCH, 0, ErrorLine);
  }
  SetLastError(ERROR_SUCCESS);
  return Register(std::move(f));
}

VOID SetupCloseInfFile(HINF InfHandle) {
  OpenInf* f = Lookup("SetupCloseInfFile", InfHandle);
  OpenInfs().erase(f);
  delete f;
}

BOOL SetupFindFirstLineW(HINF InfHandle, PCWSTR Section, PCWSTR Key, PINFCONTEXT Context) {
  OpenInf* f = Lookup("SetupFindFirstLineW", InfHandle);
  if (Section == nullptr || Context == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  const inf::Section* s = inf::FindSection(f->file, Section);
  if (s == nullptr) return Fail(ERROR_LINE_NOT_FOUND);
  UINT i = Match(*s, 0, Key);
  if (i == s->lines.size()) return Fail(ERROR_LINE_NOT_FOUND);
  Context->Inf = InfHandle;
  Context->CurrentInf = InfHandle;
  Context->Section = static_cast<UINT>(s - f->file.sections.data());
  Context->Line = i;
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL SetupFindNextLine(PINFCONTEXT ContextIn, PINFCONTEXT ContextOut) {
  UINT next = ContextIn == nullptr ? 0 : ContextIn->Line + 1;
  return FindFrom("SetupFindNextLine", ContextIn, next, nullptr, ContextOut);
}

BOOL SetupFindNextMatchLineW(PINFCONTEXT ContextIn, PCWSTR Key, PINFCONTEXT ContextOut) {
  UINT next = ContextIn == nullptr ? 0 : ContextIn->Line + 1;
  return FindFrom("SetupFindNextMatchLineW", ContextIn, next, Key, ContextOut);
}

DWORD SetupGetFieldCount(PINFCONTEXT Context) {
  return static_cast<DWORD>(LineOf("SetupGetFieldCount", Context).fields.size());
}

BOOL SetupGetStringFieldW(PINFCONTEXT Context, DWORD FieldIndex, PWSTR ReturnBuffer,
                          DWORD ReturnBufferSize, PDWORD RequiredSize) {
  const inf::Line& l = LineOf("SetupGetStringFieldW", Context);
  if (FieldIndex > l.fields.size()) return Fail(ERROR_INVALID_PARAMETER);
  const std::wstring& text = FieldIndex == 0 ? l.key : l.fields[FieldIndex - 1];
  DWORD needed = static_cast<DWORD>(text.size() + 1);
  if (RequiredSize != nullptr) *RequiredSize = needed;
  if (ReturnBuffer != nullptr) {
    if (ReturnBufferSize < needed) return Fail(ERROR_INSUFFICIENT_BUFFER);
    std::copy(text.begin(), text.end(), ReturnBuffer);
    ReturnBuffer[text.size()] = L'\0';
  }
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}
