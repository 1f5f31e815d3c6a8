// Configuration flags an installer keeps for a device instance: disabled in
// every hardware profile (ConfigFlags in the instance's Enum key) or in the
// current one (CSConfigFlags under Hardware Profiles\Current). The Plug and
// Play manager leaves a disabled device's drivers unloaded.
#include <cstring>

#include "winsim/kernel/machine_keys.h"
#include "winsim/kernel/pnp.h"
#include "winsim/kernel/registry_store.h"

namespace winsim::kernel {
namespace {

namespace reg = winsim::registry;

constexpr ULONG kConfigFlagDisabled = 0x00000001;    // CONFIGFLAG_DISABLED
constexpr ULONG kCsConfigFlagDisabled = 0x00000001;  // CSCONFIGFLAG_DISABLED

struct FlagPlace {
  std::wstring keyPath;
  const wchar_t* value;
  ULONG bit;
};

FlagPlace PlaceOf(const std::wstring& instanceId, bool global) {
  if (global) return {reg::EnumKeyOf(instanceId), L"ConfigFlags", kConfigFlagDisabled};
  return {reg::ProfileEnumKeyOf(instanceId), L"CSConfigFlags", kCsConfigFlagDisabled};
}

ULONG ReadFlags(const FlagPlace& place) {
  reg::Key* key = reg::Find(place.keyPath);
  const reg::Value* value = key ? reg::GetValue(key, place.value) : nullptr;
  ULONG flags = 0;
  if (value != nullptr && value->type == 4 /* REG_DWORD */ && value->data.size() == sizeof flags) {
    std::memcpy(&flags, value->data.data(), sizeof flags);
  }
  return flags;
}

}  // namespace

bool DisabledInConfiguration(const std::wstring& instanceId) {
  return (ReadFlags(PlaceOf(instanceId, true)) & kConfigFlagDisabled) != 0 ||
         (ReadFlags(PlaceOf(instanceId, false)) & kCsConfigFlagDisabled) != 0;
}

void SetDisabledInConfiguration(const std::wstring& instanceId, bool global, bool disabled) {
  FlagPlace place = PlaceOf(instanceId, global);
  ULONG flags = ReadFlags(place);
  flags = disabled ? flags | place.bit : flags & ~place.bit;
  reg::SetDword(place.keyPath, place.value, flags);
}

void DeleteProfileConfiguration(const std::wstring& instanceId) {
  reg::Key* key = reg::Find(reg::ProfileEnumKeyOf(instanceId));
  if (key != nullptr && reg::SubkeyNames(key).empty()) reg::DeleteKey(key);
}

}  // namespace winsim::kernel
