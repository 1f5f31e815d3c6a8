// The Plug and Play manager over a minimal bus: what it sends, in which
// order, to which driver, and what it leaves in the registry.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/kernel.h"
#include "winsim/kernel/pnp.h"
#include "winsim/kernel/registry_store.h"
#include "winsim/kernel/sim.h"

namespace {

namespace wk = winsim::kernel;

// What the drivers of a test saw, in order: "<driver>:<minor>".
std::vector<std::string> g_log;
NTSTATUS g_functionStartStatus = STATUS_SUCCESS;
NTSTATUS g_functionQueryRemoveStatus = STATUS_SUCCESS;

std::string MinorName(UCHAR minor) {
  switch (minor) {
    case IRP_MN_START_DEVICE: return "start";
    case IRP_MN_QUERY_REMOVE_DEVICE: return "query-remove";
    case IRP_MN_REMOVE_DEVICE: return "remove";
    case IRP_MN_CANCEL_REMOVE_DEVICE: return "cancel-remove";
    case IRP_MN_STOP_DEVICE: return "stop";
    case IRP_MN_QUERY_STOP_DEVICE: return "query-stop";
    case IRP_MN_CANCEL_STOP_DEVICE: return "cancel-stop";
    case IRP_MN_QUERY_CAPABILITIES: return "capabilities";
    case IRP_MN_SURPRISE_REMOVAL: return "surprise-removal";
    case IRP_MN_QUERY_ID: return "query-id";
    default: return "minor-" + std::to_string(minor);
  }
}

// ---- the bus: one PDO with fixed ids --------------------------------------

bool g_unplugged = false;

PWCHAR MultiSz(const std::wstring& joined) {
  auto* p = static_cast<PWCHAR>(
      ExAllocatePoolWithTag(PagedPool, (joined.size() + 1) * sizeof(WCHAR), 0x42757354));
  std::wmemcpy(p, joined.c_str(), joined.size() + 1);
  return p;
}

NTSTATUS BusPnp(PDEVICE_OBJECT pdo, PIRP irp) {
  PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status = irp->IoStatus.Status;
  switch (s->MinorFunction) {
    case IRP_MN_QUERY_ID: {
      // Indexed by BUS_QUERY_ID_TYPE: device, hardware, compatible, instance.
      static const std::wstring kIds[] = {
          std::wstring(L"TEST\\WIDGET"), std::wstring(L"TEST\\WIDGET&REV_2\0TEST\\WIDGET\0", 31),
          std::wstring(L"TEST\\CLASS_FF\0", 14), std::wstring(L"7")};
      irp->IoStatus.Information =
          reinterpret_cast<ULONG_PTR>(MultiSz(kIds[s->Parameters.QueryId.IdType]));
      status = STATUS_SUCCESS;
      break;
    }
    case IRP_MN_REMOVE_DEVICE:
      status = STATUS_SUCCESS;
      if (g_unplugged) {
        irp->IoStatus.Status = status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        IoDeleteDevice(pdo);
        return status;
      }
      break;
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_QUERY_CAPABILITIES:
      status = STATUS_SUCCESS;
      break;
  }
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS BusPower(PDEVICE_OBJECT pdo, PIRP irp) {
  PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
  bool device = s->Parameters.Power.Type == DevicePowerState;
  g_log.push_back(std::string("bus:") +
                  (s->MinorFunction == IRP_MN_SET_POWER ? "set-power " : "query-power ") +
                  (device ? "D" + std::to_string(s->Parameters.Power.State.DeviceState - 1)
                          : "S" + std::to_string(s->Parameters.Power.State.SystemState - 1)) +
                  " at IRQL " + std::to_string(KeGetCurrentIrql()));
  if (s->MinorFunction == IRP_MN_SET_POWER && device) {
    PoSetPowerState(pdo, DevicePowerState, s->Parameters.Power.State);
  }
  PoStartNextPowerIrp(irp);
  irp->IoStatus.Status = STATUS_SUCCESS;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

NTSTATUS BusEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->MajorFunction[IRP_MJ_PNP] = BusPnp;
  driver->MajorFunction[IRP_MJ_POWER] = BusPower;
  return STATUS_SUCCESS;
}

// ---- a function driver and a filter that log and pass requests down -----------

struct Extension {
  PDEVICE_OBJECT lower;
  const char* name;
};

NTSTATUS SignalEvent(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS ForwardAndWait(Extension* ext, PIRP irp) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, SignalEvent, &done, TRUE, TRUE, TRUE);
  if (IoCallDriver(ext->lower, irp) == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  }
  return irp->IoStatus.Status;
}

NTSTATUS LoggingPnp(PDEVICE_OBJECT device, PIRP irp) {
  auto* ext = static_cast<Extension*>(device->DeviceExtension);
  UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
  g_log.push_back(std::string(ext->name) + ":" + MinorName(minor));
  bool function = std::string(ext->name) == "function";
  if (minor == IRP_MN_START_DEVICE) {
    NTSTATUS status = ForwardAndWait(ext, irp);
    if (NT_SUCCESS(status) && function) status = g_functionStartStatus;
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
  }
  if (minor == IRP_MN_QUERY_REMOVE_DEVICE && function &&
      !NT_SUCCESS(g_functionQueryRemoveStatus)) {
    irp->IoStatus.Status = g_functionQueryRemoveStatus;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return g_functionQueryRemoveStatus;
  }
  IoSkipCurrentIrpStackLocation(irp);
  NTSTATUS status = IoCallDriver(ext->lower, irp);
  if (minor == IRP_MN_REMOVE_DEVICE) {
    IoDetachDevice(ext->lower);
    IoDeleteDevice(device);
  }
  return status;
}

NTSTATUS PassPower(PDEVICE_OBJECT device, PIRP irp) {
  auto* ext = static_cast<Extension*>(device->DeviceExtension);
  PoStartNextPowerIrp(irp);
  IoSkipCurrentIrpStackLocation(irp);
  return PoCallDriver(ext->lower, irp);
}

template <const char* kName>
NTSTATUS AddLoggingDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  PDEVICE_OBJECT device;
  NTSTATUS status =
      IoCreateDevice(driver, sizeof(Extension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  auto* ext = static_cast<Extension*>(device->DeviceExtension);
  ext->name = kName;
  ext->lower = IoAttachDeviceToDeviceStack(device, pdo);
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  g_log.push_back(std::string(kName) + ":add");
  return STATUS_SUCCESS;
}

constexpr char kFunction[] = "function";
constexpr char kFilter[] = "filter";

template <const char* kName>
NTSTATUS LoggingEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->MajorFunction[IRP_MJ_PNP] = LoggingPnp;
  driver->MajorFunction[IRP_MJ_POWER] = PassPower;
  driver->DriverExtension->AddDevice = AddLoggingDevice<kName>;
  driver->DriverUnload = [](PDRIVER_OBJECT) { g_log.push_back(std::string(kName) + ":unload"); };
  return STATUS_SUCCESS;
}

class PnpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_log.clear();
    g_unplugged = false;
    g_functionStartStatus = STATUS_SUCCESS;
    g_functionQueryRemoveStatus = STATUS_SUCCESS;
  }

  // Installs the two drivers for the widget and plugs one in.
  static wk::DeviceNode* PlugWidget(PDRIVER_OBJECT* bus) {
    wk::RegisterDriverImage(L"widget", LoggingEntry<kFunction>);
    wk::RegisterDriverImage(L"widgetfilter", LoggingEntry<kFilter>);
    wk::BindDriver(L"TEST\\WIDGET", L"widget", {L"widgetfilter"});
    *bus = wk::LoadDriver(L"testbus", BusEntry);
    PDEVICE_OBJECT pdo;
    EXPECT_EQ(IoCreateDevice(*bus, 0, nullptr, FILE_DEVICE_UNKNOWN,
                             FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &pdo),
              STATUS_SUCCESS);
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return wk::ReportDeviceArrival(pdo);
  }

  static void Unplug(PDRIVER_OBJECT bus, wk::DeviceNode* node) {
    g_unplugged = true;
    wk::ReportDeviceMissing(wk::PhysicalDeviceOf(node));
    wk::UnloadDriver(bus);
    wk::CheckCleanMachine();
  }
};

TEST_F(PnpTest, ArrivalBuildsTheNodeAndStartsTheStackFromTheTop) {
  wk::Run(0, [] {
    PDRIVER_OBJECT bus;
    wk::DeviceNode* node = PlugWidget(&bus);
    EXPECT_EQ(wk::InstanceId(node), L"TEST\\WIDGET\\7");
    EXPECT_EQ(wk::StateOf(node), wk::DeviceState::kStarted);
    std::vector<std::string> expected = {"function:add", "filter:add", "filter:start",
                                         "function:start", "filter:capabilities",
                                         "function:capabilities"};
    EXPECT_EQ(g_log, expected);
    const std::wstring key = L"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\TEST\\WIDGET\\7";
    std::wstring service;
    EXPECT_TRUE(winsim::registry::GetString(key, L"Service", &service));
    EXPECT_EQ(service, L"widget");
    const winsim::registry::Value* ids =
        winsim::registry::GetValue(winsim::registry::Find(key), L"HardwareID");
    ASSERT_NE(ids, nullptr);
    EXPECT_EQ(ids->type, static_cast<ULONG>(REG_MULTI_SZ));
    EXPECT_NE(winsim::registry::Find(key + L"\\Device Parameters"), nullptr);
    Unplug(bus, node);
  });
}

TEST_F(PnpTest, FullLifeInTheOrderWindowsSendsIt) {
  wk::Run(0, [] {
    PDRIVER_OBJECT bus;
    wk::DeviceNode* node = PlugWidget(&bus);
    g_log.clear();
    EXPECT_EQ(wk::StopAndRestartDevice(node), STATUS_SUCCESS);
    wk::StackHandleOpened(wk::TopOfStack(node));
    g_unplugged = true;
    wk::ReportDeviceMissing(wk::PhysicalDeviceOf(node));
    EXPECT_EQ(wk::StateOf(node), wk::DeviceState::kSurpriseRemoved);
    g_log.push_back("(last handle closed)");
    wk::StackHandleClosed(wk::TopOfStack(node));
    EXPECT_EQ(wk::StateOf(node), wk::DeviceState::kRemoved);
    std::vector<std::string> expected = {
        "filter:query-stop",       "function:query-stop",       "filter:stop",
        "function:stop",           "filter:start",              "function:start",
        "filter:capabilities",     "function:capabilities",     "filter:surprise-removal",
        "function:surprise-removal", "(last handle closed)",    "filter:remove",
        "function:remove",         "function:unload",           "filter:unload"};
    EXPECT_EQ(g_log, expected);
    EXPECT_EQ(wk::PhysicalDeviceOf(node), nullptr);  // the bus deleted its PDO
    wk::UnloadDriver(bus);
    wk::CheckCleanMachine();
  });
}

TEST_F(PnpTest, RefusedQueryRemoveIsCancelledAndTheDeviceStays) {
  wk::Run(0, [] {
    PDRIVER_OBJECT bus;
    wk::DeviceNode* node = PlugWidget(&bus);
    g_log.clear();
    g_functionQueryRemoveStatus = STATUS_DEVICE_BUSY;
    EXPECT_EQ(wk::RemoveDevice(node), STATUS_DEVICE_BUSY);
    std::vector<std::string> expected = {"filter:query-remove", "function:query-remove",
                                         "filter:cancel-remove", "function:cancel-remove"};
    EXPECT_EQ(g_log, expected);
    EXPECT_EQ(wk::StateOf(node), wk::DeviceState::kStarted);
    g_functionQueryRemoveStatus = STATUS_SUCCESS;
    EXPECT_EQ(wk::RemoveDevice(node), STATUS_SUCCESS);
    EXPECT_EQ(wk::StateOf(node), wk::DeviceState::kRemoved);
    EXPECT_NE(wk::PhysicalDeviceOf(node), nullptr);  // still plugged in
    Unplug(bus, node);
  });
}

TEST_F(PnpTest, FailedStartTearsTheStackDownAndUnloadsTheDrivers) {
  wk::Run(0, [] {
    g_functionStartStatus = STATUS_DEVICE_DATA_ERROR;
    PDRIVER_OBJECT bus;
    wk::DeviceNode* node = PlugWidget(&bus);
    EXPECT_EQ(wk::StateOf(node), wk::DeviceState::kNotStarted);
    std::vector<std::string> tail(g_log.end() - 4, g_log.end());
    std::vector<std::string> expected = {"filter:remove", "function:remove", "function:unload",
                                         "filter:unload"};
    EXPECT_EQ(tail, expected);
    EXPECT_EQ(wk::PhysicalDeviceOf(node)->AttachedDevice, nullptr);
    Unplug(bus, node);
  });
}

TEST_F(PnpTest, SystemSleepReachesEveryStartedStackQueryFirst) {
  wk::Run(0, [] {
    PDRIVER_OBJECT bus;
    wk::DeviceNode* node = PlugWidget(&bus);
    g_log.clear();
    EXPECT_EQ(wk::SetSystemPowerState(PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(wk::SetSystemPowerState(PowerSystemWorking), STATUS_SUCCESS);
    std::vector<std::string> expected = {"bus:query-power S3 at IRQL 0",
                                         "bus:set-power S3 at IRQL 0",
                                         "bus:set-power S0 at IRQL 0"};
    EXPECT_EQ(g_log, expected);
    Unplug(bus, node);
  });
}

struct PowerResult {
  bool called = false;
  UCHAR minor = 0;
  POWER_STATE state{};
  NTSTATUS status = STATUS_PENDING;
  PDEVICE_OBJECT device = nullptr;
};

VOID RecordPowerCompletion(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE state, PVOID context,
                           PIO_STATUS_BLOCK io) {
  auto* r = static_cast<PowerResult*>(context);
  *r = {true, minor, state, io->Status, device};
}

TEST_F(PnpTest, DevicePowerRequestsGoToTheTopAtPassiveAndReportToTheRequester) {
  wk::Run(0, [] {
    PDRIVER_OBJECT bus;
    wk::DeviceNode* node = PlugWidget(&bus);
    g_log.clear();
    PDEVICE_OBJECT pdo = wk::PhysicalDeviceOf(node);
    PowerResult result;
    POWER_STATE d3;
    d3.DeviceState = PowerDeviceD3;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);  // allowed up to DISPATCH_LEVEL
    EXPECT_EQ(PoRequestPowerIrp(pdo, IRP_MN_SET_POWER, d3, RecordPowerCompletion, &result,
                                nullptr),
              STATUS_PENDING);
    KeLowerIrql(old);
    LARGE_INTEGER tick{.QuadPart = -1};
    KeDelayExecutionThread(KernelMode, FALSE, &tick);  // let the power manager's thread run
    ASSERT_TRUE(result.called);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.minor, IRP_MN_SET_POWER);
    EXPECT_EQ(result.state.DeviceState, PowerDeviceD3);
    EXPECT_EQ(result.device, pdo);
    EXPECT_EQ(wk::DevicePowerStateOf(pdo), PowerDeviceD3);
    EXPECT_EQ(g_log, std::vector<std::string>{"bus:set-power D3 at IRQL 0"});
    POWER_STATE any{};
    EXPECT_EQ(PoRequestPowerIrp(pdo, IRP_MN_POWER_SEQUENCE, any, nullptr, nullptr, nullptr),
              STATUS_INVALID_PARAMETER_2);
    Unplug(bus, node);
  });
}

TEST_F(PnpTest, InterfacesLinkToThePhysicalDeviceUntilRemoval) {
  static const GUID kGuid = {0x6C0F3B92, 0x4E7A, 0x4D15,
                             {0xB2, 0xC8, 0x91, 0x5E, 0x07, 0xA3, 0xD4, 0x6F}};
  wk::Run(0, [] {
    PDRIVER_OBJECT bus;
    wk::DeviceNode* node = PlugWidget(&bus);
    PDEVICE_OBJECT pdo = wk::PhysicalDeviceOf(node);
    UNICODE_STRING link{};
    ASSERT_EQ(IoRegisterDeviceInterface(pdo, &kGuid, nullptr, &link), STATUS_SUCCESS);
    std::wstring name(link.Buffer, link.Length / sizeof(WCHAR));
    EXPECT_EQ(name, L"\\??\\TEST#WIDGET#7#{6C0F3B92-4E7A-4D15-B2C8-915E07A3D46F}");
    EXPECT_TRUE(wk::InterfaceLinks(kGuid).empty()) << "registered is not enabled";
    EXPECT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_OBJECT_NAME_EXISTS);
    EXPECT_EQ(wk::FindDevice(wk::ResolveSymbolicLink(name)), pdo);
    EXPECT_EQ(wk::InterfaceLinks(kGuid), std::vector<std::wstring>{name});
    UNICODE_STRING ref, withRef{};
    RtlInitUnicodeString(&ref, L"pipe");
    ASSERT_EQ(IoRegisterDeviceInterface(pdo, &kGuid, &ref, &withRef), STATUS_SUCCESS);
    EXPECT_EQ(std::wstring(withRef.Buffer, withRef.Length / sizeof(WCHAR)), name + L"\\pipe")
        << "the reference string is not part of the link: it reaches the driver as a file name";
    EXPECT_EQ(IoSetDeviceInterfaceState(&withRef, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(IoSetDeviceInterfaceState(&link, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(wk::FindDevice(wk::ResolveSymbolicLink(name)), pdo) << "still used by the other";
    EXPECT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_SUCCESS);
    RtlFreeUnicodeString(&withRef);
    RtlFreeUnicodeString(&link);
    EXPECT_EQ(link.Buffer, nullptr);
    EXPECT_EQ(wk::RemoveDevice(node), STATUS_SUCCESS);
    EXPECT_TRUE(wk::InterfaceLinks(kGuid).empty()) << "removal disables what is left enabled";
    EXPECT_TRUE(wk::ResolveSymbolicLink(name).empty());
    Unplug(bus, node);
  });
}

TEST(SymbolicLinks, DosDeviceSpellingsNameOneDirectory) {
  wk::Run(0, [] {
    UNICODE_STRING global, local, target;
    RtlInitUnicodeString(&global, L"\\DosDevices\\Global\\COM3");
    RtlInitUnicodeString(&local, L"\\DosDevices\\COM3");
    RtlInitUnicodeString(&target, L"\\Device\\Port0");
    EXPECT_EQ(IoCreateSymbolicLink(&global, &target), STATUS_SUCCESS);
    EXPECT_EQ(IoCreateSymbolicLink(&local, &target), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(wk::ResolveSymbolicLink(L"\\??\\COM3"), L"\\Device\\Port0");
    EXPECT_EQ(IoDeleteSymbolicLink(&local), STATUS_SUCCESS);
    EXPECT_EQ(IoDeleteSymbolicLink(&global), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_TRUE(wk::SymbolicLinks().empty());
  });
}

}  // namespace

namespace {

TEST(MachineDeathTest, TeardownNamesWhatIsLeftBehind) {
  EXPECT_DEATH(wk::Run(0,
                       [] {
                         UNICODE_STRING link, target;
                         RtlInitUnicodeString(&link, L"\\DosDevices\\COM9");
                         RtlInitUnicodeString(&target, L"\\Device\\Nowhere");
                         IoCreateSymbolicLink(&link, &target);
                         ExAllocatePoolWithTag(NonPagedPool, 8, 0x6B61654C);
                         wk::CheckCleanMachine();
                       }),
               "left behind: 1 pool block\\(s\\) 1 symbolic link\\(s\\)");
}

}  // namespace
