// The configuration manager over the simulated machine: machine
// connections, locating nodes (present, phantom, the root), device ids and
// their buffer sizes, status and problems, and nodes the kernel's Plug and
// Play manager made for a card reader plugged into the USB bus.
#include <gtest/gtest.h>

#include <cwchar>
#include <functional>
#include <string>
#include <vector>

#include "tests/support/pass_driver.h"
#include "platform/kernel.h"
#include "platform/win32.h"
#include "winsim/kernel/pnp.h"
#include "winsim/kernel/sim.h"
#include "winsim/machine/devices.h"
#include "winsim/usb/bus.h"

namespace {

namespace wk = winsim::kernel;
namespace wm = winsim::machine;

const wchar_t kPort[] = L"ROOT\\PORTS\\0000";
const wchar_t kDisabled[] = L"ROOT\\PORTS\\0001";
const wchar_t kGone[] = L"USB\\VID_2E6B&PID_7A31\\OLD1";
const wchar_t kReader[] = L"USB\\VID_2E6B&PID_7A31\\KV7A31-000001";  // kCardReader's serial

// A machine with a started port, a disabled one and an unplugged reader.
void OnMachine(const std::function<void()>& body) {
  wk::Run(0, [&] {
    wm::AddDevice({.instanceId = kPort, .className = L"Ports", .present = true});
    wm::AddDevice(
        {.instanceId = kDisabled, .className = L"Ports", .present = true, .started = false});
    wm::SetDeviceProblem(kDisabled, CM_PROB_DISABLED);
    wm::AddDevice({.instanceId = kGone, .className = L"Ports", .service = L"KORVUSB"});
    body();
    wk::CheckCleanMachine();
  });
}

DEVINST Locate(const wchar_t* id, ULONG flags = CM_LOCATE_DEVNODE_NORMAL) {
  DEVINST node = 0;
  std::wstring text = id ? id : L"";
  EXPECT_EQ(CM_Locate_DevNode_ExW(&node, id ? text.data() : nullptr, flags, nullptr), CR_SUCCESS)
      << std::string(text.begin(), text.end());
  return node;
}

std::wstring IdOf(DEVINST node) {
  WCHAR id[MAX_DEVICE_ID_LEN];
  EXPECT_EQ(CM_Get_Device_ID_ExW(node, id, MAX_DEVICE_ID_LEN, 0, nullptr), CR_SUCCESS);
  return id;
}

// ---- machines ----------------------------------------------------------------------

TEST(CmMachines, OnlyTheLocalMachineConnects) {
  struct Row {
    const wchar_t* name;
    CONFIGRET result;
  } rows[] = {
      {nullptr, CR_SUCCESS},
      {L"\\\\KORVSIM", CR_SUCCESS},
      {L"\\\\korvsim", CR_SUCCESS},
      {L"\\\\FARAWAY", CR_MACHINE_UNAVAILABLE},
      {L"\\\\", CR_INVALID_MACHINENAME},
      {L"\\\\FAR\\AWAY", CR_INVALID_MACHINENAME},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name ? std::string(row.name, row.name + std::wcslen(row.name)) : "null");
    OnMachine([&] {
      HMACHINE machine = reinterpret_cast<HMACHINE>(1);
      ASSERT_EQ(CM_Connect_MachineW(row.name, &machine), row.result);
      if (row.result != CR_SUCCESS) {
        EXPECT_EQ(machine, nullptr);
        return;
      }
      ASSERT_NE(machine, nullptr);
      DEVINST node = 0;
      WCHAR id[] = L"ROOT\\PORTS\\0000";
      EXPECT_EQ(CM_Locate_DevNode_ExW(&node, id, 0, machine), CR_SUCCESS) << "usable with _Ex";
      EXPECT_EQ(wm::OpenMachineConnections(), 1);
      EXPECT_EQ(CM_Disconnect_Machine(machine), CR_SUCCESS);
      EXPECT_EQ(CM_Disconnect_Machine(machine), CR_INVALID_POINTER) << "already given back";
      EXPECT_EQ(CM_Locate_DevNode_ExW(&node, id, 0, machine), CR_INVALID_POINTER);
    });
  }
}

TEST(CmMachines, AConnectionLeftOpenStopsTheRun) {
  EXPECT_DEATH(wk::Run(0,
                       [] {
                         HMACHINE machine;
                         CM_Connect_MachineW(nullptr, &machine);
                         wk::CheckCleanMachine();
                       }),
               "1 machine connection");
}

// ---- locating nodes and reading their ids ----------------------------------------------

TEST(CmLocateDevNode, PresentPhantomAndRoot) {
  OnMachine([] {
    EXPECT_EQ(IdOf(Locate(nullptr)), L"HTREE\\ROOT\\0");
    EXPECT_EQ(Locate(L""), Locate(nullptr));
    EXPECT_EQ(IdOf(Locate(L"root\\ports\\0000")), kPort) << "found ignoring case";
    EXPECT_EQ(IdOf(Locate(kGone, CM_LOCATE_DEVNODE_PHANTOM)), kGone);
    struct Row {
      const char* what;
      const wchar_t* id;
      ULONG flags;
      CONFIGRET result;
    } rows[] = {
        {"a phantom without the phantom flag", kGone, 0, CR_NO_SUCH_DEVNODE},
        {"no such device", L"ROOT\\PORTS\\0009", CM_LOCATE_DEVNODE_PHANTOM, CR_NO_SUCH_DEVNODE},
        {"an unknown flag", kPort, 0x8, CR_INVALID_FLAG},
    };
    for (const Row& row : rows) {
      SCOPED_TRACE(row.what);
      DEVINST node = 99;
      std::wstring id = row.id;
      EXPECT_EQ(CM_Locate_DevNode_ExW(&node, id.data(), row.flags, nullptr), row.result);
      EXPECT_EQ(node, 0u);
    }
  });
}

TEST(CmGetDeviceId, BufferSizesInCharacters) {
  OnMachine([] {
    DEVINST node = Locate(kPort);
    const ULONG length = static_cast<ULONG>(std::wcslen(kPort));
    ULONG reported = 0;
    EXPECT_EQ(CM_Get_Device_ID_Size_Ex(&reported, node, 0, nullptr), CR_SUCCESS);
    EXPECT_EQ(reported, length) << "without the terminator";
    WCHAR id[MAX_DEVICE_ID_LEN];
    std::wmemset(id, L'#', MAX_DEVICE_ID_LEN);
    EXPECT_EQ(CM_Get_Device_ID_ExW(node, id, length, 0, nullptr), CR_BUFFER_SMALL);
    EXPECT_EQ(std::wstring(id, length), kPort) << "as much as fits";
    EXPECT_EQ(id[length], L'#') << "nothing written past the buffer";
    EXPECT_EQ(CM_Get_Device_ID_ExW(node, id, length + 1, 0, nullptr), CR_SUCCESS);
    EXPECT_STREQ(id, kPort);
    struct Row {
      const char* what;
      DEVINST node;
      ULONG flags;
      CONFIGRET result;
    } rows[] = {
        {"no node", 0, 0, CR_INVALID_DEVNODE},
        {"a handle never given out", 0x4000, 0, CR_INVALID_DEVNODE},
        {"flags", node, 1, CR_INVALID_FLAG},
    };
    for (const Row& row : rows) {
      SCOPED_TRACE(row.what);
      reported = 77;
      EXPECT_EQ(CM_Get_Device_ID_Size_Ex(&reported, row.node, row.flags, nullptr), row.result);
      EXPECT_EQ(reported, 0u);
      EXPECT_EQ(CM_Get_Device_ID_ExW(row.node, id, MAX_DEVICE_ID_LEN, row.flags, nullptr),
                row.result);
    }
  });
}

// ---- status and problems ---------------------------------------------------------------

struct StatusRow {
  const char* what;
  const wchar_t* id;
  CONFIGRET result;
  ULONG set;    // flags that must be set
  ULONG clear;  // flags that must be clear
  ULONG problem;
};

void ExpectStatus(const StatusRow& row, DEVINST node) {
  SCOPED_TRACE(row.what);
  ULONG status = 0, problem = 0;
  ASSERT_EQ(CM_Get_DevNode_Status_Ex(&status, &problem, node, 0, nullptr), row.result);
  if (row.result != CR_SUCCESS) return;
  EXPECT_EQ(status & row.set, row.set) << std::hex << status;
  EXPECT_EQ(status & row.clear, 0u) << std::hex << status;
  EXPECT_EQ(problem, row.problem);
}

TEST(CmGetDevNodeStatus, StartedDisabledAndAbsentNodes) {
  const StatusRow rows[] = {
      {"started, root-enumerated", kPort, CR_SUCCESS, DN_STARTED | DN_ROOT_ENUMERATED,
       DN_HAS_PROBLEM, 0},
      {"disabled", kDisabled, CR_SUCCESS, DN_HAS_PROBLEM | DN_ROOT_ENUMERATED, DN_STARTED,
       CM_PROB_DISABLED},
      {"not present", kGone, CR_NO_SUCH_DEVINST, 0, 0, 0},
  };
  for (const StatusRow& row : rows) {
    OnMachine([&] { ExpectStatus(row, Locate(row.id, CM_LOCATE_DEVNODE_PHANTOM)); });
  }
}

TEST(CmGetDevNodeStatus, AProblemOnAStartedNodeLeavesItStarted) {
  OnMachine([] {
    wm::SetDeviceProblem(kPort, 43);
    ExpectStatus({"started with a problem", kPort, CR_SUCCESS, DN_STARTED | DN_HAS_PROBLEM, 0, 43},
                 Locate(kPort));
    wm::SetDeviceProblem(kPort, 0);
    ExpectStatus({"problem cleared", kPort, CR_SUCCESS, DN_STARTED, DN_HAS_PROBLEM, 0},
                 Locate(kPort));
  });
}

// ---- nodes of the kernel's Plug and Play manager -------------------------------------

std::vector<std::wstring> Members(DWORD flags) {
  HDEVINFO set = SetupDiGetClassDevsExW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES | flags,
                                        nullptr, nullptr, nullptr);
  std::vector<std::wstring> ids;
  SP_DEVINFO_DATA data{};
  data.cbSize = sizeof data;
  for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &data); ++i) ids.push_back(IdOf(data.DevInst));
  SetupDiDestroyDeviceInfoList(set);
  return ids;
}

std::vector<std::wstring> HardwareIds(const wchar_t* instanceId) {
  HDEVINFO set = SetupDiCreateDeviceInfoListExW(nullptr, nullptr, nullptr, nullptr);
  SP_DEVINFO_DATA data{};
  data.cbSize = sizeof data;
  EXPECT_TRUE(SetupDiOpenDeviceInfoW(set, instanceId, nullptr, 0, &data));
  WCHAR buffer[256];
  DWORD type = 0;
  std::vector<std::wstring> ids;
  if (SetupDiGetDeviceRegistryPropertyW(set, &data, SPDRP_HARDWAREID, &type,
                                        reinterpret_cast<PBYTE>(buffer), sizeof buffer, nullptr)) {
    EXPECT_EQ(type, static_cast<DWORD>(REG_MULTI_SZ));
    for (const WCHAR* p = buffer; *p != L'\0'; p += std::wcslen(p) + 1) ids.emplace_back(p);
  }
  SetupDiDestroyDeviceInfoList(set);
  return ids;
}

TEST(CmKernelNodes, APluggedReaderIsPresentUntilItIsUnplugged) {
  struct Row {
    const char* what;
    bool bound;
    StatusRow plugged;
  } rows[] = {
      {"driver bound",
       true,
       {"started", kReader, CR_SUCCESS, DN_STARTED | DN_DRIVER_LOADED,
        DN_HAS_PROBLEM | DN_ROOT_ENUMERATED, 0}},
      {"no driver installed",
       false,
       {"not started", kReader, CR_SUCCESS, DN_HAS_PROBLEM, DN_STARTED | DN_DRIVER_LOADED,
        CM_PROB_FAILED_INSTALL}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    wk::Run(0, [&] {
      if (row.bound) {
        passdriver::Install();
      }
      {
        winsim::usb::Bus bus;
        winsim::usb::UsbDevice& reader = bus.Plug();
        EXPECT_EQ(Members(DIGCF_PRESENT), std::vector<std::wstring>{kReader});
        EXPECT_EQ(HardwareIds(kReader),
                  (std::vector<std::wstring>{L"USB\\VID_2E6B&PID_7A31&REV_0100",
                                             L"USB\\VID_2E6B&PID_7A31"}));
        DEVINST node = Locate(kReader);
        ExpectStatus(row.plugged, node);
        bus.Unplug(reader);
        ExpectStatus({"unplugged", kReader, CR_NO_SUCH_DEVINST, 0, 0, 0}, node);
        EXPECT_TRUE(Members(DIGCF_PRESENT).empty());
        EXPECT_EQ(Members(0), std::vector<std::wstring>{kReader}) << "its Enum key stays";
        EXPECT_EQ(Locate(kReader, CM_LOCATE_DEVNODE_PHANTOM), node) << "the same handle";
      }
      wk::CheckCleanMachine();
    });
  }
}

TEST(CmKernelNodes, AReaderPluggedAgainIsPresentAgain) {
  wk::Run(0, [] {
    passdriver::Install();
    {
      winsim::usb::Bus bus;
      bus.Unplug(bus.Plug());
      winsim::usb::UsbDevice& again = bus.Plug();
      EXPECT_EQ(Members(DIGCF_PRESENT), std::vector<std::wstring>{kReader})
          << "one node, though the kernel keeps the removed one too";
      ExpectStatus({"replugged", kReader, CR_SUCCESS, DN_STARTED, DN_HAS_PROBLEM, 0},
                   Locate(kReader));
      bus.Unplug(again);
    }
    wk::CheckCleanMachine();
  });
}

TEST(CmKernelNodes, ASurpriseRemovedReaderIsGoneWhileItsLastHandleIsOpen) {
  wk::Run(0, [] {
    passdriver::Install();
    {
      winsim::usb::Bus bus;
      winsim::usb::UsbDevice& reader = bus.Plug();
      wk::DeviceNode* node = wk::FindDeviceNode(kReader);
      wk::StackHandleOpened(wk::TopOfStack(node));
      bus.Unplug(reader);
      ASSERT_EQ(wk::StateOf(node), wk::DeviceState::kSurpriseRemoved);
      EXPECT_TRUE(Members(DIGCF_PRESENT).empty());
      ExpectStatus({"removal pending", kReader, CR_NO_SUCH_DEVINST, 0, 0, 0},
                   Locate(kReader, CM_LOCATE_DEVNODE_PHANTOM));
      wk::StackHandleClosed(wk::TopOfStack(node));
    }
    wk::CheckCleanMachine();
  });
}

}  // namespace
