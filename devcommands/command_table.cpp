// The command table: every command word, its handler and its help messages.
#include "devcommands/commands.h"
#include "devcommands/text.h"

namespace devcommands {
namespace {

// Commands whose handlers are not part of this build yet; their help says so.
int CommandNotBuilt(const WCHAR*, const WCHAR*, DWORD, int, const WCHAR* const*) {
  return RESULT_FAILURE;
}

}  // namespace

const CommandEntry kCommandTable[] = {
    {L"classfilter", CommandNotBuilt, 61501, 61500},
    {L"classes", ClassesCommand, 60201, 60200},
    {L"disable", DisableCommand, 60601, 60600},
    {L"driverfiles", CommandNotBuilt, 60411, 60410},
    {L"drivernodes", CommandNotBuilt, 61401, 61400},
    {L"enable", EnableCommand, 60501, 60500},
    {L"find", CommandNotBuilt, 60401, 60400},
    {L"findall", CommandNotBuilt, 60407, 60406},
    {L"help", HelpCommand, 60101, 0},
    {L"hwids", CommandNotBuilt, 60415, 60414},
    {L"install", CommandNotBuilt, 61001, 61000},
    {L"listclass", CommandNotBuilt, 60301, 60300},
    {L"reboot", RebootCommand, 60801, 60800},
    {L"remove", RemoveCommand, 61201, 61200},
    {L"rescan", CommandNotBuilt, 61301, 61300},
    {L"resources", CommandNotBuilt, 60413, 60412},
    {L"restart", RestartCommand, 60701, 60700},
    {L"sethwid", CommandNotBuilt, 61601, 61600},
    {L"stack", CommandNotBuilt, 60417, 60416},
    {L"status", CommandNotBuilt, 60409, 60408},
    {L"update", CommandNotBuilt, 61101, 61100},
    {L"updateni", CommandNotBuilt, 61105, 61104},
    {L"dp_add", DpAddCommand, 61108, 61107},
    {L"dp_delete", DpDeleteCommand, 61110, 61109},
    {L"dp_enum", DpEnumCommand, 61112, 61111},
    {L"?", HelpCommand, 0, 0},
    {nullptr, nullptr, 0, 0},
};

const CommandEntry* FindCommand(const CommandEntry* table, const WCHAR* word) {
  for (const CommandEntry* row = table; row->name != nullptr; ++row) {
    if (EqualsIgnoreAsciiCase(row->name, word)) return row;
  }
  return nullptr;
}

}  // namespace devcommands
