// The Plug and Play and power manager of the simulated machine, seen from
// bus drivers of the stand-in, tests and the simulator. Drivers never
// include this.
#pragma once
#if defined(KORV_DRIVER)
#error "winsim/kernel/pnp.h is for the stand-in, tests and the simulator, not for drivers"
#endif

#include <string>
#include <vector>

#include "winsim/kernel/wdk/wdm.h"

namespace winsim::kernel {

// A driver image the machine can load by its service name; the host build
// links the drivers in, so "loading" runs the entry point found here.
void RegisterDriverImage(const std::wstring& service, PDRIVER_INITIALIZE entry);

// What an installed INF leaves behind for a hardware id: the function
// driver's service, the upper filters above it and the lower filters below
// it, each list bottom first.
void BindDriver(const std::wstring& hardwareId, const std::wstring& service,
                const std::vector<std::wstring>& upperFilters = {},
                const std::vector<std::wstring>& lowerFilters = {});

enum class DeviceState {
  kNotStarted,  // added, or a start failed
  kStarted,
  kStopPending,      // query-stop succeeded
  kStopped,          // stopped for rebalance
  kRemovePending,    // query-remove succeeded
  kSurpriseRemoved,  // gone from the bus, removal waits for the last handle
  kRemoved,
};

struct DeviceNode;

// A bus driver reports a new child (its PDO): the PnP manager asks its ids,
// creates the device node and its Enum key, loads and adds the drivers bound
// to its hardware ids (function driver, then each upper filter) and starts
// the stack. Returns the node even when no driver or the start failed.
DeviceNode* ReportDeviceArrival(PDEVICE_OBJECT pdo);

// A bus driver reports that a child has gone: surprise removal now, removal
// once the last handle to the stack is closed.
void ReportDeviceMissing(PDEVICE_OBJECT pdo);

// Orderly operations, as the platform performs them for a user or an
// installer. Each returns the status the stack answered.
NTSTATUS QueryStopDevice(DeviceNode* node);       // query-stop; cancel-stop if refused
NTSTATUS StopAndRestartDevice(DeviceNode* node);  // rebalance: query-stop, stop, start
NTSTATUS RemoveDevice(DeviceNode* node);          // query-remove, then remove (or cancel)
NTSTATUS StartDevice(DeviceNode* node);           // start a stopped or not started node

// Installer configuration: a device disabled in every hardware profile
// (global) or in the current one. A disabled device that arrives gets no
// drivers; changing the flags changes nothing running.
bool DisabledInConfiguration(const std::wstring& instanceId);
void SetDisabledInConfiguration(const std::wstring& instanceId, bool global, bool disabled);
// Drops the current profile's key of a removed instance.
void DeleteProfileConfiguration(const std::wstring& instanceId);

// Device nodes in arrival order (removed ones included until the run ends).
std::vector<DeviceNode*> DeviceNodes();
DeviceNode* FindDeviceNode(const std::wstring& instanceId);
const std::wstring& InstanceId(const DeviceNode* node);
DeviceState StateOf(const DeviceNode* node);
PDEVICE_OBJECT PhysicalDeviceOf(const DeviceNode* node);
PDEVICE_OBJECT TopOfStack(const DeviceNode* node);  // nullptr when no stack

// The I/O manager tells the PnP manager about handles to a stack, so that
// removal after a surprise removal waits for the last close.
void StackHandleOpened(PDEVICE_OBJECT anyDeviceInStack);
void StackHandleClosed(PDEVICE_OBJECT anyDeviceInStack);
bool StackAcceptsOpens(PDEVICE_OBJECT anyDeviceInStack);

// System power transitions, delivered to every started stack as system
// set-power requests (working, sleeping, back to working).
NTSTATUS SetSystemPowerState(SYSTEM_POWER_STATE state);

// The device power state a driver last declared with PoSetPowerState.
DEVICE_POWER_STATE DevicePowerStateOf(PDEVICE_OBJECT device);

}  // namespace winsim::kernel
