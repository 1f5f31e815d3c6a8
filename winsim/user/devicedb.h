// The device database SetupAPI and CM read: every device instance the
// registry's Enum tree holds (the PnP manager's nodes and those a test
// added), whether it is present, its status and problem, its handle
// (DEVINST), and the setup classes under Control\Class. Internal to
// winsim/user.
#pragma once
#include <string>
#include <vector>

#include "winsim/host/text.h"
#include "winsim/kernel/guid_text.h"
#include "winsim/kernel/registry_store.h"
#include "winsim/user/types.h"

namespace winsim::kernel {
struct DeviceNode;
}

namespace winsim::user::devicedb {

// The root of the device tree: CM and SetupDiOpenDeviceInfo reach it, class
// enumeration does not list it (it has no class and no ids).
inline constexpr wchar_t kRootId[] = L"HTREE\\ROOT\\0";

// Sets the machine up on first use in a run: the standard setup classes and
// the per-run reset. Every entry point calls it first.
void UseMachine();

// True for a null or empty name and for the local machine's own name.
bool IsLocalMachine(const WCHAR* name);

// ---- device instances ------------------------------------------------------

// Instance ids as the Enum keys spell them, in registry order.
std::vector<std::wstring> InstanceIds();
// Three non-empty parts: <enumerator>\<device>\<instance>.
bool IsInstanceIdShape(const std::wstring& id);
// The id as the database spells it (case-insensitive lookup); false when
// there is no such instance. The root counts.
bool Lookup(const std::wstring& id, std::wstring* canonical);
registry::Key* EnumKey(const std::wstring& id);  // nullptr for the root
// The instance's software key, which its Driver value names under
// Control\Class; nullptr when it has none.
registry::Key* DriverKey(const std::wstring& id);

// The Plug and Play manager's node for a present instance; nullptr for
// instances it does not know or that have left the bus.
winsim::kernel::DeviceNode* KernelNode(const std::wstring& id);

bool IsPresent(const std::wstring& id);
struct Status {
  ULONG flags;
  ULONG problem;
};
// False when the instance is not present.
bool StatusOf(const std::wstring& id, Status* status);

// The class GUID from the instance's ClassGUID value (GUID_NULL without one).
GUID ClassOf(const std::wstring& id);

// DEVINST handles stay valid for the whole run; 0 is never one.
DWORD HandleOf(const std::wstring& canonicalId);
const std::wstring* IdOfHandle(DWORD devInst);

// ---- setup classes ---------------------------------------------------------

std::vector<GUID> SetupClasses();
registry::Key* ClassKey(const GUID& guid);  // nullptr for an unknown class
std::vector<GUID> ClassesNamed(const std::wstring& name);
bool ClassName(const GUID& guid, std::wstring* name);

using winsim::GuidText;
using winsim::ParseGuid;
using winsim::SameGuid;
using winsim::text::SameNoCase;
// A REG_SZ or REG_EXPAND_SZ value without its terminator; false when absent,
// of another type, or the key is null.
bool ReadString(registry::Key* key, const std::wstring& name, std::wstring* text);

// ---- changes the class installer makes -----------------------------------

// Each returns ERROR_SUCCESS or the error the installer reports. A running
// stack that refuses to go (query-remove) leaves the change for the next
// restart: *restartNeeded becomes true and the call still succeeds.
DWORD RemoveInstance(const std::wstring& id, bool* restartNeeded);
// stateChange DICS_ENABLE, DICS_DISABLE or DICS_PROPCHANGE; scope
// DICS_FLAG_GLOBAL or DICS_FLAG_CONFIGSPECIFIC; hwProfile 0 (the current).
DWORD ChangeInstanceState(const std::wstring& id, DWORD stateChange, DWORD scope, DWORD hwProfile,
                          bool* restartNeeded);
// Instances whose removal waits for the next restart.
bool RemovalPending(const std::wstring& id);
// A test's refusal for every installer request on the instance.
void NoteInstallerFailure(const std::wstring& id, DWORD error);

// ---- per-run state the test-facing side keeps ------------------------------

void NoteAddedDevice(const std::wstring& id, bool present, bool started);
void NoteProblem(const std::wstring& id, ULONG problem);
void ForgetInstance(const std::wstring& id);
void ResetDevices();
void SeedClasses();

}  // namespace winsim::user::devicedb
