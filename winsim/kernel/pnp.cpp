// The Plug and Play manager: device nodes, driver loading by service name,
// building and starting stacks, and the stop, removal and surprise-removal
// sequences, every request sent to the top of the stack as on Windows.
#include "winsim/kernel/pnp.h"

#include <cwctype>
#include <map>
#include <memory>

#include "winsim/host/text.h"
#include "winsim/kernel/internal.h"
#include "winsim/kernel/machine_keys.h"
#include "winsim/kernel/registry_store.h"
#include "winsim/kernel/sim.h"

namespace winsim::kernel {

void DisableInterfacesOf(PDEVICE_OBJECT pdo);

struct DeviceNode {
  std::wstring instanceId;
  std::vector<std::wstring> hardwareIds;
  std::vector<std::wstring> compatibleIds;
  PDEVICE_OBJECT pdo = nullptr;
  std::wstring service;
  std::vector<std::wstring> filters;
  std::vector<std::wstring> lowerFilters;
  DeviceState state = DeviceState::kNotStarted;
  LONG handles = 0;
  bool missing = false;  // the bus reported it gone
  bool pdoDeleted = false;
};

namespace {

namespace reg = winsim::registry;

struct Binding {
  std::wstring service;
  std::vector<std::wstring> filters;
  std::vector<std::wstring> lowerFilters;
};

std::map<std::wstring, PDRIVER_INITIALIZE, text::NoCaseLess> g_images;
std::map<std::wstring, Binding, text::NoCaseLess> g_bindings;
std::map<std::wstring, PDRIVER_OBJECT, text::NoCaseLess> g_loaded;
std::vector<std::unique_ptr<DeviceNode>> g_nodes;

PDEVICE_OBJECT Bottom(PDEVICE_OBJECT device) {
  while (RecordOf(device)->attachedTo != nullptr) device = RecordOf(device)->attachedTo;
  return device;
}

DeviceNode* NodeOf(PDEVICE_OBJECT anyDeviceInStack) {
  PDEVICE_OBJECT pdo = Bottom(anyDeviceInStack);
  for (auto& n : g_nodes) {
    if (n->pdo == pdo && !n->pdoDeleted) return n.get();
  }
  return nullptr;
}

PDEVICE_OBJECT Top(const DeviceNode* node) {
  PDEVICE_OBJECT top = node->pdo;
  while (top->AttachedDevice != nullptr) top = top->AttachedDevice;
  return top;
}

// Sends one Plug and Play request to the top of the node's stack and waits.
NTSTATUS SendPnp(DeviceNode* node, UCHAR minor, const std::function<void(PIO_STACK_LOCATION)>& fill,
                 ULONG_PTR* information = nullptr) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  PDEVICE_OBJECT top = Top(node);
  PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, top, nullptr, 0, nullptr, &done, &iosb);
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;  // what every PnP request starts with
  PIO_STACK_LOCATION s = IoGetNextIrpStackLocation(irp);
  s->MinorFunction = minor;
  if (fill) fill(s);
  NTSTATUS status = IoCallDriver(top, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    status = iosb.Status;
  }
  if (information) *information = iosb.Information;
  return status;
}

std::vector<std::wstring> QueryIds(DeviceNode* node, BUS_QUERY_ID_TYPE type) {
  ULONG_PTR info = 0;
  NTSTATUS status = SendPnp(
      node, IRP_MN_QUERY_ID, [&](PIO_STACK_LOCATION s) { s->Parameters.QueryId.IdType = type; },
      &info);
  std::vector<std::wstring> ids;
  auto* text = reinterpret_cast<PWCHAR>(info);
  if (!NT_SUCCESS(status) || text == nullptr) return ids;
  bool multi = type == BusQueryHardwareIDs || type == BusQueryCompatibleIDs;
  for (PWCHAR p = text; *p != L'\0'; p += std::wcslen(p) + 1) {
    ids.emplace_back(p);
    if (!multi) break;
  }
  ExFreePool(text);
  return ids;
}

std::wstring EnumKeyPath(const DeviceNode* node) { return reg::EnumKeyOf(node->instanceId); }

void WriteEnumKey(DeviceNode* node) {
  std::wstring path = EnumKeyPath(node);
  reg::SetMultiString(path, L"HardwareID", node->hardwareIds);
  reg::SetMultiString(path, L"CompatibleIDs", node->compatibleIds);
  reg::Create(reg::Root(), path.substr(9) + L"\\Device Parameters");
  std::wstring service;
  if (reg::GetString(path, L"Service", &service)) {
    node->service = service;
    return;
  }
  for (const auto* ids : {&node->hardwareIds, &node->compatibleIds}) {
    for (const std::wstring& id : *ids) {
      auto it = g_bindings.find(id);
      if (it == g_bindings.end()) continue;
      node->service = it->second.service;
      node->filters = it->second.filters;
      node->lowerFilters = it->second.lowerFilters;
      reg::SetString(path, L"Service", node->service);
      if (!node->filters.empty()) reg::SetMultiString(path, L"UpperFilters", node->filters);
      if (!node->lowerFilters.empty()) {
        reg::SetMultiString(path, L"LowerFilters", node->lowerFilters);
      }
      return;
    }
  }
}

PDRIVER_OBJECT Load(const std::wstring& service) {
  auto loaded = g_loaded.find(service);
  if (loaded != g_loaded.end()) return loaded->second;
  auto image = g_images.find(service);
  if (image == g_images.end()) return nullptr;
  PDRIVER_OBJECT driver = LoadDriver(service, image->second);
  if (driver != nullptr) g_loaded[service] = driver;
  return driver;
}

void UnloadIdleDrivers() {
  for (auto it = g_loaded.begin(); it != g_loaded.end();) {
    if (it->second->DeviceObject == nullptr) {
      UnloadDriver(it->second);
      it = g_loaded.erase(it);
    } else {
      ++it;
    }
  }
}

NTSTATUS AddDrivers(DeviceNode* node) {
  std::vector<std::wstring> services = node->lowerFilters;
  services.push_back(node->service);
  services.insert(services.end(), node->filters.begin(), node->filters.end());
  for (const std::wstring& service : services) {
    PDRIVER_OBJECT driver = Load(service);
    if (driver == nullptr || driver->DriverExtension->AddDevice == nullptr) {
      return STATUS_DRIVER_UNABLE_TO_LOAD;
    }
    NTSTATUS status;
    {
      DriverScope scope(RecordOf(driver));
      status = driver->DriverExtension->AddDevice(driver, node->pdo);
    }
    if (!NT_SUCCESS(status)) return status;
    if (Top(node)->Flags & DO_DEVICE_INITIALIZING) {
      Violation("AddDevice", nullptr,
                RecordOf(driver)->label + "'s AddDevice left DO_DEVICE_INITIALIZING set");
    }
  }
  return STATUS_SUCCESS;
}

void SendRemove(DeviceNode* node) {
  SendPnp(node, IRP_MN_REMOVE_DEVICE, nullptr);
  node->state = DeviceState::kRemoved;
  DisableInterfacesOf(node->pdo);
  if (node->missing) node->pdoDeleted = true;
  UnloadIdleDrivers();
}

}  // namespace

void RegisterDriverImage(const std::wstring& service, PDRIVER_INITIALIZE entry) {
  g_images[service] = entry;
}

void BindDriver(const std::wstring& hardwareId, const std::wstring& service,
                const std::vector<std::wstring>& upperFilters,
                const std::vector<std::wstring>& lowerFilters) {
  g_bindings[hardwareId] = Binding{service, upperFilters, lowerFilters};
}

DeviceNode* ReportDeviceArrival(PDEVICE_OBJECT pdo) {
  RequireIrqlAtMost("device arrival", PASSIVE_LEVEL);
  auto owned = std::make_unique<DeviceNode>();
  DeviceNode* node = owned.get();
  node->pdo = pdo;
  g_nodes.push_back(std::move(owned));
  std::vector<std::wstring> deviceId = QueryIds(node, BusQueryDeviceID);
  std::vector<std::wstring> instance = QueryIds(node, BusQueryInstanceID);
  node->instanceId = (deviceId.empty() ? L"UNKNOWN" : deviceId[0]) + L"\\" +
                     (instance.empty() ? L"0000" : instance[0]);
  node->hardwareIds = QueryIds(node, BusQueryHardwareIDs);
  node->compatibleIds = QueryIds(node, BusQueryCompatibleIDs);
  WriteEnumKey(node);
  if (!node->service.empty() && !DisabledInConfiguration(node->instanceId)) StartDevice(node);
  return node;
}

NTSTATUS StartDevice(DeviceNode* node) {
  if (node->state == DeviceState::kStarted || node->missing) return STATUS_INVALID_DEVICE_STATE;
  if (node->pdo->AttachedDevice == nullptr) {
    NTSTATUS status = AddDrivers(node);
    if (!NT_SUCCESS(status)) {
      if (node->pdo->AttachedDevice != nullptr) SendRemove(node);
      node->state = DeviceState::kNotStarted;
      UnloadIdleDrivers();
      return status;
    }
  }
  NTSTATUS status = SendPnp(node, IRP_MN_START_DEVICE, nullptr);
  if (!NT_SUCCESS(status)) {
    // A stack that fails its start is torn down, as Windows does.
    SendRemove(node);
    node->state = DeviceState::kNotStarted;
    return status;
  }
  node->state = DeviceState::kStarted;
  DEVICE_CAPABILITIES caps{};
  caps.Size = sizeof caps;
  caps.Version = 1;
  caps.Address = caps.UINumber = 0xFFFFFFFF;
  SendPnp(node, IRP_MN_QUERY_CAPABILITIES,
          [&](PIO_STACK_LOCATION s) { s->Parameters.DeviceCapabilities.Capabilities = &caps; });
  return STATUS_SUCCESS;
}

NTSTATUS QueryStopDevice(DeviceNode* node) {
  if (node->state != DeviceState::kStarted) return STATUS_INVALID_DEVICE_STATE;
  NTSTATUS status = SendPnp(node, IRP_MN_QUERY_STOP_DEVICE, nullptr);
  if (!NT_SUCCESS(status)) {
    SendPnp(node, IRP_MN_CANCEL_STOP_DEVICE, nullptr);
    return status;
  }
  node->state = DeviceState::kStopPending;
  return status;
}

NTSTATUS StopAndRestartDevice(DeviceNode* node) {
  NTSTATUS status = QueryStopDevice(node);
  if (!NT_SUCCESS(status)) return status;
  SendPnp(node, IRP_MN_STOP_DEVICE, nullptr);
  node->state = DeviceState::kStopped;
  return StartDevice(node);
}

NTSTATUS RemoveDevice(DeviceNode* node) {
  if (node->state == DeviceState::kRemoved || node->state == DeviceState::kSurpriseRemoved) {
    return STATUS_INVALID_DEVICE_STATE;
  }
  if (node->pdo->AttachedDevice != nullptr) {
    NTSTATUS status = SendPnp(node, IRP_MN_QUERY_REMOVE_DEVICE, nullptr);
    if (!NT_SUCCESS(status)) {
      SendPnp(node, IRP_MN_CANCEL_REMOVE_DEVICE, nullptr);
      return status;
    }
    node->state = DeviceState::kRemovePending;
  }
  SendRemove(node);
  return STATUS_SUCCESS;
}

void ReportDeviceMissing(PDEVICE_OBJECT pdo) {
  DeviceNode* node = nullptr;
  for (auto& n : g_nodes) {
    if (n->pdo == pdo && !n->pdoDeleted) node = n.get();
  }
  if (node == nullptr) return;
  node->missing = true;
  if (node->state == DeviceState::kRemoved) {
    // Nothing is attached any more; only the bus's own object is left.
    SendRemove(node);
    return;
  }
  if (node->state != DeviceState::kNotStarted) {
    SendPnp(node, IRP_MN_SURPRISE_REMOVAL, nullptr);
    node->state = DeviceState::kSurpriseRemoved;
    DisableInterfacesOf(node->pdo);
    if (node->handles > 0) return;  // removal follows the last close
  }
  SendRemove(node);
}

std::vector<DeviceNode*> DeviceNodes() {
  std::vector<DeviceNode*> nodes;
  for (auto& n : g_nodes) nodes.push_back(n.get());
  return nodes;
}

DeviceNode* FindDeviceNode(const std::wstring& instanceId) {
  for (auto& n : g_nodes) {
    if (text::SameNoCase(n->instanceId, instanceId)) {
      return n.get();
    }
  }
  return nullptr;
}

const std::wstring& InstanceId(const DeviceNode* node) { return node->instanceId; }
DeviceState StateOf(const DeviceNode* node) { return node->state; }
PDEVICE_OBJECT PhysicalDeviceOf(const DeviceNode* node) {
  return node->pdoDeleted ? nullptr : node->pdo;
}
PDEVICE_OBJECT TopOfStack(const DeviceNode* node) { return node->pdoDeleted ? nullptr : Top(node); }

void StackHandleOpened(PDEVICE_OBJECT anyDeviceInStack) {
  if (DeviceNode* node = NodeOf(anyDeviceInStack)) node->handles++;
}

void StackHandleClosed(PDEVICE_OBJECT anyDeviceInStack) {
  DeviceNode* node = NodeOf(anyDeviceInStack);
  if (node == nullptr) return;
  if (--node->handles == 0 && node->state == DeviceState::kSurpriseRemoved) SendRemove(node);
}

bool StackAcceptsOpens(PDEVICE_OBJECT anyDeviceInStack) {
  DeviceNode* node = NodeOf(anyDeviceInStack);
  return node == nullptr || node->state != DeviceState::kRemoved;
}

void ResetPnp() {
  g_images.clear();
  g_bindings.clear();
  g_loaded.clear();
  g_nodes.clear();
}

NTSTATUS OpenKeyHandle(reg::Key* key, ACCESS_MASK desired, PHANDLE handle);

}  // namespace winsim::kernel

using namespace winsim::kernel;

NTSTATUS IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType,
                                 ACCESS_MASK DesiredAccess, PHANDLE DeviceRegKey) {
  RequireIrqlAtMost("IoOpenDeviceRegistryKey", PASSIVE_LEVEL);
  DeviceNode* node = nullptr;
  for (DeviceNode* n : DeviceNodes()) {
    if (PhysicalDeviceOf(n) == DeviceObject) node = n;
  }
  if (node == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
  std::wstring path = L"\\Machine\\System\\CurrentControlSet\\Enum\\" + node->instanceId;
  if (DevInstKeyType == PLUGPLAY_REGKEY_DEVICE) {
    path += L"\\Device Parameters";
  } else if (DevInstKeyType == PLUGPLAY_REGKEY_DRIVER) {
    std::wstring driverKey;
    if (!winsim::registry::GetString(L"\\Registry" + path, L"Driver", &driverKey)) {
      return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    path = L"\\Machine\\System\\CurrentControlSet\\Control\\Class\\" + driverKey;
  } else {
    return STATUS_INVALID_PARAMETER;
  }
  winsim::registry::Key* key = winsim::registry::Create(winsim::registry::Root(), path);
  if (key == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
  return OpenKeyHandle(key, DesiredAccess, DeviceRegKey);
}
