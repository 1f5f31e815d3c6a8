// "help" and "?": the help of one command, or the general help with one line
// per listed command.
#include <cwchar>

#include "devcommands/commands.h"
#include "devcommands/messages.h"

namespace devcommands {
namespace {

void PrintGeneralHelp(const WCHAR* baseName, DWORD header, const WCHAR* word) {
  PrintMessage(stdout, header, baseName, word);
  for (const CommandEntry* row = kCommandTable; row->name != nullptr; ++row) {
    if (row->summaryMessageId == 0) continue;
    PrintMessage(stdout, row->summaryMessageId, row->name);
    fputws(L"\n", stdout);
  }
}

}  // namespace

int HelpCommand(const WCHAR* baseName, const WCHAR*, DWORD, int argc, const WCHAR* const* args) {
  if (argc < 1) {
    PrintGeneralHelp(baseName, MSG_HELP_HEADER, L"");
    return RESULT_SUCCESS;
  }
  const CommandEntry* command = FindCommand(kCommandTable, args[0]);
  if (command == nullptr) {
    PrintGeneralHelp(baseName, MSG_HELP_UNKNOWN, args[0]);
  } else if (command->detailMessageId != 0) {
    PrintMessage(stdout, command->detailMessageId, baseName, command->name);
  } else {
    PrintGeneralHelp(baseName, MSG_HELP_HEADER, command->name);
  }
  return RESULT_SUCCESS;
}

}  // namespace devcommands
