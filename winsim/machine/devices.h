// The simulated machine's device database seen from tests and the simulator:
// device nodes and setup classes a scenario adds beside the ones the kernel's
// Plug and Play manager creates, and problems set on nodes. Everything here
// runs inside a run (winsim::kernel::Run) and is dropped when it ends.
// Programs never include this; they see the database through SetupAPI and CM.
#pragma once
#if defined(KORV_DRIVER)
#error "winsim/machine/devices.h is for tests and the simulator, not for drivers"
#endif

#include <string>
#include <vector>

#include "winsim/kernel/wdk/ntdef.h"

namespace winsim::machine {

// The machine's own name; SetupAPI and CM take it, with or without the
// leading "\\", as the local machine. Any other name is a machine that
// cannot be reached.
const wchar_t* LocalMachineName();

// A device node as an installed INF and a bus would have left it. Written to
// Enum\<instanceId> with the value names and types Windows uses; empty
// strings and lists are left out.
struct DeviceSpec {
  std::wstring instanceId{};  // <enumerator>\<device>\<instance>, e.g. "ROOT\PORTS\0000"
  std::vector<std::wstring> hardwareIds{};
  std::vector<std::wstring> compatibleIds{};
  std::wstring className{};  // a setup class of the machine; its GUID becomes ClassGUID
  std::wstring description{};
  std::wstring friendlyName{};
  std::wstring manufacturer{};
  std::wstring service{};
  std::wstring location{};
  bool present = false;  // connected, with a device node in the tree
  bool started = true;   // when present: the drivers run
  // The oem*.inf the device was installed from (empty: none). Needs a class:
  // the installation's driver key is the next free Control\Class\{guid}\NNNN,
  // holding InfPath, and the node's Driver value names it.
  std::wstring infPath{};
};

// Adds the node; the run stops if the id is not three parts, is already
// taken, names an unknown class, or has an INF but no class.
void AddDevice(const DeviceSpec& device);

// A setup class: Control\Class\{guid} with the class name in "Class" and the
// description as the key's default value. The machine starts with a few
// standard ones (Ports, USB, System, HIDClass, Net, Image).
void AddSetupClass(const GUID& guid, const std::wstring& name, const std::wstring& description);

// The problem code CM reports for a node (0 clears it), whoever created the
// node; it changes nothing else about the node.
void SetDeviceProblem(const std::wstring& instanceId, ULONG problem);

// Makes the class installer fail with `error` (ERROR_SUCCESS: succeed
// again) for every request on the instance, as a class installer or
// co-installer that refuses does; nothing about the device changes.
void FailClassInstaller(const std::wstring& instanceId, DWORD error);

// Whether the class installer left the instance's removal for the next
// restart (its stack refused to go).
bool RemovalPendingAtRestart(const std::wstring& instanceId);

// Device information sets and configuration manager machine connections the
// programs hold open.
LONG OpenDeviceInfoSets();
LONG OpenMachineConnections();

}  // namespace winsim::machine
