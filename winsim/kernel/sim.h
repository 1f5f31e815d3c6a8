// The stand-in kernel seen from tests and the simulator: runs, drivers,
// failure injection and the verifier's counts. Drivers never include this.
#pragma once
#if defined(KORV_DRIVER)
#error "winsim/kernel/sim.h is for tests and the simulator, not for drivers"
#endif

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "winsim/host/scheduler.h"
#include "winsim/kernel/wdk/wdm.h"

namespace winsim::kernel {

// Runs a scenario on the simulated machine under `seed` (see host::Run) and
// drops whatever the run left alive afterwards.
void Run(uint64_t seed, std::function<void()> scenario);

// State that the layers above the kernel (the programs' side of the
// stand-in) keep per run: `reset` runs after every run, once the kernel's own
// state is gone, and `live` counts for CheckCleanMachine what a scenario left
// open. Registering `what` again replaces the entry; may be called in a run.
void RegisterRunState(const std::string& what, std::function<void()> reset,
                      std::function<LONG()> live);

// Starts another foreground thread, as an application thread would be.
host::Thread* StartThread(std::string name, std::function<void()> body);

// Loads a driver as the I/O manager does: a driver object named
// "\Driver\<service>", then its entry point at PASSIVE_LEVEL. Returns the
// driver object, or nullptr when the entry point failed (its status in
// `status`).
PDRIVER_OBJECT LoadDriver(const std::wstring& service, PDRIVER_INITIALIZE entry,
                          NTSTATUS* status = nullptr);

// Calls the driver's unload routine; the driver must have no device left, and
// the verifier then checks that it leaked nothing.
void UnloadDriver(PDRIVER_OBJECT driver);

struct DriverCounts {
  LONG poolBlocks;
  LONG irps;
  LONG mdls;
  LONG handles;
  LONG threads;
  LONG devices;
};
DriverCounts CountsOf(PDRIVER_OBJECT driver);

// Requests alive anywhere (allocated and not yet freed).
LONG LiveIrps();

// Stops the run, naming what is left, unless the machine is back to nothing:
// no request, MDL, pool block, running system thread, kernel handle, open
// registry key or symbolic link.
void CheckCleanMachine();

// Runs `body` as if code of `driver` were running (allocations are charged to
// it, violations name it).
void AsDriver(PDRIVER_OBJECT driver, const std::function<void()>& body);

struct PoolRequest {
  std::string driver;  // service name, empty for the harness
  POOL_TYPE type;
  SIZE_T size;
  ULONG tag;
};
// Makes allocations for which `policy` answers true fail; nullptr clears it.
void SetPoolFailurePolicy(std::function<bool(const PoolRequest&)> policy);

// Makes the next IoAttachDeviceToDeviceStack return NULL, as it does when
// the target stack is being torn down.
void FailNextAttach();
// Makes the next PoRequestPowerIrp fail with `status` and send nothing.
void FailNextPowerRequest(NTSTATUS status);

// The object namespace.
PDEVICE_OBJECT FindDevice(const std::wstring& name);
std::wstring ResolveSymbolicLink(const std::wstring& link);  // empty when absent
std::vector<std::wstring> SymbolicLinks();                   // canonical names (\GLOBAL??\...)

// Device interface links of a class, as "\??\..." names.
std::vector<std::wstring> InterfaceLinks(const GUID& guid, bool enabledOnly = true);

}  // namespace winsim::kernel
