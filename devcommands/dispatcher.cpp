// RunDeviceCommand: options, the command word, the handler, and what the
// result code makes the dispatcher print or do.
#include <cwchar>

#include "devcommands/commands.h"
#include "devcommands/messages.h"
#include "devcommands/text.h"

namespace devcommands {
namespace {

struct Options {
  const WCHAR* machine = nullptr;
  DWORD flags = 0;
  bool reboot = false;
};

bool StartsOption(const WCHAR* arg) { return arg[0] == L'-' || arg[0] == L'/'; }

// Consumes `arg` into `options` when it is a well-formed option; anything
// else ends option parsing and is the command word.
bool TakeOption(const WCHAR* arg, Options* options) {
  if (!StartsOption(arg) || arg[1] == L'\0') return false;
  bool letterOnly = arg[2] == L'\0';
  switch (FoldAscii(arg[1])) {
    case L'f':
      if (!letterOnly) return false;
      options->flags |= COMMAND_FLAG_FORCE;
      return true;
    case L'r':
      if (!letterOnly) return false;
      options->reboot = true;
      return true;
    case L'm':
      if (arg[2] != L':' || arg[3] == L'\0') return false;
      options->machine = arg + 3;
      return true;
    default:
      return false;
  }
}

const WCHAR* BaseName(const WCHAR* path) {
  const WCHAR* slash = wcsrchr(path, L'\\');
  return slash != nullptr ? slash + 1 : path;
}

int AfterHandler(int result, const Options& options, const WCHAR* baseName,
                 const CommandEntry& command) {
  switch (result) {
    case RESULT_SUCCESS:
      return result;
    case RESULT_REBOOT_NEEDED:
      // The restart request cannot change what the command achieved.
      if (options.reboot) RequestReboot();
      return result;
    case RESULT_BAD_USAGE:
      PrintMessage(stderr, MSG_COMMAND_USAGE, baseName, command.name);
      return result;
    default:
      PrintMessage(stderr, MSG_COMMAND_FAILED, baseName, command.name);
      return result;
  }
}

}  // namespace

int DispatchCommand(const CommandEntry* table, int argc, const WCHAR* const* argv) {
  const WCHAR* baseName = argc > 0 ? BaseName(argv[0]) : L"";
  Options options;
  int next = 1;
  while (next < argc && TakeOption(argv[next], &options)) ++next;

  const CommandEntry* command = nullptr;
  if (next < argc) {
    const WCHAR* word = argv[next];
    command = FindCommand(table, StartsOption(word) ? word + 1 : word);
  }
  if (command == nullptr) {
    PrintMessage(stderr, MSG_NO_SUCH_COMMAND, baseName);
    return RESULT_BAD_USAGE;
  }
  int result =
      command->handler(baseName, options.machine, options.flags, argc - next - 1, argv + next + 1);
  return AfterHandler(result, options, baseName, *command);
}

}  // namespace devcommands

int RunDeviceCommand(int argc, const WCHAR* const* argv) {
  return devcommands::DispatchCommand(devcommands::kCommandTable, argc, argv);
}
