// Driver and device objects, device stacks and the object namespace.
#include <algorithm>
#include <cstring>
#include <cwctype>
#include <map>

#include "winsim/host/text.h"
#include "winsim/kernel/internal.h"
#include "winsim/kernel/sim.h"

namespace winsim::kernel {
namespace {

constexpr CSHORT kDeviceObjectType = 3;
constexpr CSHORT kDriverObjectType = 4;

std::vector<DriverRecord*> g_drivers;
std::vector<DeviceRecord*> g_devices;
std::map<std::wstring, PDEVICE_OBJECT, text::NoCaseLess> g_deviceNames;
std::map<std::wstring, std::wstring, text::NoCaseLess> g_links;
ULONG g_autoName = 0;
bool g_failNextAttach = false;

std::wstring ToWide(PUNICODE_STRING s) {
  if (s == nullptr || s->Buffer == nullptr) return {};
  return std::wstring(s->Buffer, s->Length / sizeof(WCHAR));
}

NTSTATUS InvalidDeviceRequest(PDEVICE_OBJECT, PIRP Irp) {
  Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
  Irp->IoStatus.Information = 0;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return STATUS_INVALID_DEVICE_REQUEST;
}

LONG DeviceCount(const DriverRecord* d) {
  LONG n = 0;
  for (PDEVICE_OBJECT dev = d->object.DeviceObject; dev != nullptr; dev = dev->NextDevice) ++n;
  return n;
}

// In kernel mode \DosDevices, \?? and their Global forms all name the one
// global directory of DOS device names, so a link made under one spelling is
// deleted or found under another.
std::wstring CanonicalLinkName(const std::wstring& name) {
  static const wchar_t* const kAliases[] = {L"\\DosDevices\\Global\\", L"\\??\\Global\\",
                                            L"\\GLOBAL??\\", L"\\DosDevices\\", L"\\??\\"};
  for (const wchar_t* alias : kAliases) {
    if (text::StartsWithNoCase(name, alias))
      return L"\\GLOBAL??\\" + name.substr(std::wcslen(alias));
  }
  return name;
}

}  // namespace

// As on Windows, a deleted device object lives on while a device is still
// attached to it (a bus driver deletes its PDO in the removal that the
// devices above pass down before they detach) or a reference is held; only
// then is it gone. The memory stays until the run ends so that a second
// delete is recognised, but the extension of a gone device is poisoned.
bool DeviceGone(PDEVICE_OBJECT device) {
  const DeviceRecord* d = RecordOf(device);
  return d->deleted && device->AttachedDevice == nullptr && d->refs == 0;
}

void PoisonIfGone(PDEVICE_OBJECT device) {
  if (DeviceGone(device) && device->DeviceExtension != nullptr) {
    std::memset(device->DeviceExtension, 0xDD, RecordOf(device)->extensionSize);
  }
}

DriverRecord* RecordOf(PDRIVER_OBJECT driver) { return reinterpret_cast<DriverRecord*>(driver); }
DeviceRecord* RecordOf(PDEVICE_OBJECT device) { return reinterpret_cast<DeviceRecord*>(device); }

void ResetObjects() {
  for (DeviceRecord* d : g_devices) {
    KernelFree(d->object.DeviceExtension);
    delete d;
  }
  for (DriverRecord* d : g_drivers) delete d;
  g_devices.clear();
  g_drivers.clear();
  g_deviceNames.clear();
  g_links.clear();
  g_autoName = 0;
  g_failNextAttach = false;
}

void FailNextAttach() { g_failNextAttach = true; }

PDRIVER_OBJECT LoadDriver(const std::wstring& service, PDRIVER_INITIALIZE entry, NTSTATUS* status) {
  auto* d = new DriverRecord{};
  static_assert(offsetof(DriverRecord, object) == 0);
  g_drivers.push_back(d);
  d->name = L"\\Driver\\" + service;
  d->label = text::Printable(service);
  d->object.Type = kDriverObjectType;
  d->object.Size = sizeof(DRIVER_OBJECT);
  d->object.DriverExtension = &d->extension;
  d->extension.DriverObject = &d->object;
  d->object.DriverName = {static_cast<USHORT>(d->name.size() * sizeof(WCHAR)),
                          static_cast<USHORT>(d->name.size() * sizeof(WCHAR)), d->name.data()};
  d->extension.ServiceKeyName = {static_cast<USHORT>(service.size() * sizeof(WCHAR)),
                                 static_cast<USHORT>(service.size() * sizeof(WCHAR)),
                                 const_cast<PWSTR>(d->name.data()) + 8};
  for (auto& fn : d->object.MajorFunction) fn = InvalidDeviceRequest;
  d->object.DriverInit = entry;
  std::wstring registryPath =
      L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + service;
  UNICODE_STRING path{static_cast<USHORT>(registryPath.size() * sizeof(WCHAR)),
                      static_cast<USHORT>(registryPath.size() * sizeof(WCHAR)),
                      registryPath.data()};
  RequireIrqlAtMost("DriverEntry", PASSIVE_LEVEL);
  NTSTATUS result;
  {
    DriverScope scope(d);
    result = entry(&d->object, &path);
  }
  if (CurrentIrql() != PASSIVE_LEVEL) {
    Violation("DriverEntry", nullptr, d->label + "'s DriverEntry returned at raised IRQL");
  }
  if (status) *status = result;
  if (!NT_SUCCESS(result)) {
    if (DeviceCount(d) != 0) {
      Violation("DriverEntry", nullptr, d->label + "'s DriverEntry failed but left devices");
    }
    d->unloaded = true;
    return nullptr;
  }
  // The I/O manager clears DO_DEVICE_INITIALIZING on the devices DriverEntry made.
  for (PDEVICE_OBJECT dev = d->object.DeviceObject; dev != nullptr; dev = dev->NextDevice) {
    dev->Flags &= ~DO_DEVICE_INITIALIZING;
  }
  return &d->object;
}

void UnloadDriver(PDRIVER_OBJECT driver) {
  DriverRecord* d = RecordOf(driver);
  if (d->unloaded) Violation("unload", nullptr, d->label + " is not loaded");
  if (DeviceCount(d) != 0) {
    Violation("unload", nullptr,
              d->label + " still has " + std::to_string(DeviceCount(d)) + " device object(s)");
  }
  if (driver->DriverUnload) {
    DriverScope scope(d);
    driver->DriverUnload(driver);
  }
  d->unloaded = true;
  d->handles = LiveHandles(d);
  std::string leaks;
  if (d->poolBlocks)
    leaks += " " + std::to_string(d->poolBlocks) + " pool block(s)" + " [" + LeakedBlocks(d) + " ]";
  if (d->irps) leaks += " " + std::to_string(d->irps) + " request(s)";
  if (d->mdls) leaks += " " + std::to_string(d->mdls) + " MDL(s)";
  if (d->handles) leaks += " " + std::to_string(d->handles) + " kernel handle(s)";
  if (d->threads) leaks += " " + std::to_string(d->threads) + " running system thread(s)";
  if (!leaks.empty()) {
    DriverScope scope(d);  // the report names the driver that leaked
    Violation("unload", nullptr, d->label + " was unloaded with" + leaks + " still alive");
  }
}

DriverCounts CountsOf(PDRIVER_OBJECT driver) {
  DriverRecord* d = RecordOf(driver);
  return {d->poolBlocks, d->irps, d->mdls, LiveHandles(d), d->threads, DeviceCount(d)};
}

void AsDriver(PDRIVER_OBJECT driver, const std::function<void()>& body) {
  DriverScope scope(RecordOf(driver));
  body();
}

PDEVICE_OBJECT FindDevice(const std::wstring& name) {
  auto it = g_deviceNames.find(name);
  return it == g_deviceNames.end() ? nullptr : it->second;
}

std::wstring NameOfDevice(PDEVICE_OBJECT device) { return RecordOf(device)->name; }

NTSTATUS CreateLink(const std::wstring& link, const std::wstring& target) {
  std::wstring name = CanonicalLinkName(link);
  if (g_links.count(name)) return STATUS_OBJECT_NAME_COLLISION;
  g_links[name] = target;
  return STATUS_SUCCESS;
}

NTSTATUS DeleteLink(const std::wstring& link) {
  return g_links.erase(CanonicalLinkName(link)) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

std::vector<std::wstring> SymbolicLinks() {
  std::vector<std::wstring> names;
  for (const auto& [name, target] : g_links) names.push_back(name);
  return names;
}

std::wstring ResolveSymbolicLink(const std::wstring& link) {
  auto it = g_links.find(CanonicalLinkName(link));
  return it == g_links.end() ? std::wstring() : it->second;
}

}  // namespace winsim::kernel

using namespace winsim::kernel;

NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                        PUNICODE_STRING DeviceName, ULONG DeviceType, ULONG DeviceCharacteristics,
                        BOOLEAN Exclusive, PDEVICE_OBJECT* DeviceObject) {
  RequireIrqlAtMost("IoCreateDevice", PASSIVE_LEVEL);
  SchedulePoint();
  std::wstring name = ToWide(DeviceName);
  if (name.empty() && (DeviceCharacteristics & FILE_AUTOGENERATED_DEVICE_NAME)) {
    wchar_t buf[32];
    std::swprintf(buf, 32, L"\\Device\\%08lx", static_cast<unsigned long>(++g_autoName));
    name = buf;
  }
  if (!name.empty() && g_deviceNames.count(name)) return STATUS_OBJECT_NAME_COLLISION;
  auto* d = new DeviceRecord{};
  static_assert(offsetof(DeviceRecord, object) == 0);
  g_devices.push_back(d);
  d->name = name;
  DEVICE_OBJECT& o = d->object;
  o.Type = kDeviceObjectType;
  o.Size = sizeof(DEVICE_OBJECT);
  o.DriverObject = DriverObject;
  o.Flags = DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0);
  o.Characteristics = DeviceCharacteristics;
  o.DeviceType = DeviceType;
  o.StackSize = 1;
  o.DeviceExtension = DeviceExtensionSize ? KernelAlloc(DeviceExtensionSize) : nullptr;
  d->extensionSize = DeviceExtensionSize;
  o.NextDevice = DriverObject->DeviceObject;
  DriverObject->DeviceObject = &o;
  if (!name.empty()) g_deviceNames[name] = &o;
  *DeviceObject = &o;
  return STATUS_SUCCESS;
}

VOID IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
  const char* call = "IoDeleteDevice";
  RequireIrqlAtMost(call, PASSIVE_LEVEL);
  DeviceRecord* d = RecordOf(DeviceObject);
  if (d->deleted) Violation(call, nullptr, "deleted a device object twice");
  if (d->requestsInside > 0) {
    Violation(call, nullptr,
              "deleted a device object with " + std::to_string(d->requestsInside) +
                  " request(s) still inside it");
  }
  if (d->attachedTo != nullptr) {
    Violation(call, nullptr,
              "deleted a device object still attached to a lower device "
              "(IoDetachDevice first)");
  }
  SchedulePoint();
  PDEVICE_OBJECT* link = &DeviceObject->DriverObject->DeviceObject;
  while (*link != DeviceObject) link = &(*link)->NextDevice;
  *link = DeviceObject->NextDevice;
  if (!d->name.empty()) g_deviceNames.erase(d->name);
  d->deleted = true;
  PoisonIfGone(DeviceObject);
}

PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice,
                                           PDEVICE_OBJECT TargetDevice) {
  RequireIrqlAtMost("IoAttachDeviceToDeviceStack", PASSIVE_LEVEL);
  SchedulePoint();
  if (RecordOf(TargetDevice)->deleted) return nullptr;
  if (g_failNextAttach) {
    g_failNextAttach = false;
    return nullptr;
  }
  PDEVICE_OBJECT top = TargetDevice;
  while (top->AttachedDevice != nullptr) top = top->AttachedDevice;
  top->AttachedDevice = SourceDevice;
  SourceDevice->StackSize = static_cast<CCHAR>(top->StackSize + 1);
  SourceDevice->AlignmentRequirement = top->AlignmentRequirement;
  RecordOf(SourceDevice)->attachedTo = top;
  return top;
}

VOID IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
  RequireIrqlAtMost("IoDetachDevice", PASSIVE_LEVEL);
  PDEVICE_OBJECT upper = TargetDevice->AttachedDevice;
  if (upper == nullptr) {
    Violation("IoDetachDevice", nullptr, "no device is attached to the target device");
  }
  RecordOf(upper)->attachedTo = nullptr;
  TargetDevice->AttachedDevice = nullptr;
  PoisonIfGone(TargetDevice);
}

PDEVICE_OBJECT IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject) {
  PDEVICE_OBJECT top = DeviceObject;
  while (top->AttachedDevice != nullptr) top = top->AttachedDevice;
  RecordOf(top)->refs++;
  return top;
}

NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName) {
  RequireIrqlAtMost("IoCreateSymbolicLink", PASSIVE_LEVEL);
  std::wstring link = ToWide(SymbolicLinkName);
  if (link.empty() || link[0] != L'\\') return STATUS_OBJECT_NAME_INVALID;
  return CreateLink(link, ToWide(DeviceName));
}

NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName) {
  RequireIrqlAtMost("IoDeleteSymbolicLink", PASSIVE_LEVEL);
  return DeleteLink(ToWide(SymbolicLinkName));
}
