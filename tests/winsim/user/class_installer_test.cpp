// The class installer on the simulated machine: DIF_REMOVE and
// DIF_PROPERTYCHANGE taking running stacks down through the Plug and Play
// manager, a stack that refuses leaving the change for the next restart,
// what persists in the registry, and the parameter records' checks.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "tests/support/pass_driver.h"
#include "platform/kernel.h"
#include "platform/win32.h"
#include "winsim/kernel/pnp.h"
#include "winsim/kernel/registry_store.h"
#include "winsim/kernel/sim.h"
#include "winsim/machine/devices.h"
#include "winsim/usb/bus.h"

namespace {

namespace wk = winsim::kernel;
namespace wm = winsim::machine;
using Log = std::vector<std::string>;

const wchar_t kReader[] = L"USB\\VID_2E6B&PID_7A31\\KV7A31-000001";  // kCardReader's serial
const wchar_t kPhantom[] = L"USB\\VID_2E6B&PID_7A31\\OLD1";
const wchar_t kPort[] = L"ROOT\\PORTS\\0000";
const std::wstring kEnum = L"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\";

// One device opened in a set of its own.
struct Device {
  HDEVINFO set = INVALID_HANDLE_VALUE;
  SP_DEVINFO_DATA data{sizeof(SP_DEVINFO_DATA), {}, 0, 0};

  explicit Device(const wchar_t* id) {
    set = SetupDiCreateDeviceInfoListExW(nullptr, nullptr, nullptr, nullptr);
    EXPECT_TRUE(SetupDiOpenDeviceInfoW(set, id, nullptr, 0, &data));
  }
  ~Device() { SetupDiDestroyDeviceInfoList(set); }

  template <typename Params>
  BOOL Call(Params params, DI_FUNCTION function) {
    params.ClassInstallHeader = {sizeof(SP_CLASSINSTALL_HEADER), function};
    if (!SetupDiSetClassInstallParamsW(set, &data, &params.ClassInstallHeader, sizeof params)) {
      return FALSE;
    }
    return SetupDiCallClassInstaller(function, set, &data);
  }
  BOOL Remove() { return Call(SP_REMOVEDEVICE_PARAMS{{}, DI_REMOVEDEVICE_GLOBAL, 0}, DIF_REMOVE); }
  BOOL Change(DWORD state, DWORD scope = DICS_FLAG_CONFIGSPECIFIC, DWORD profile = 0) {
    return Call(SP_PROPCHANGE_PARAMS{{}, state, scope, profile}, DIF_PROPERTYCHANGE);
  }
  DWORD InstallFlags() {
    SP_DEVINSTALL_PARAMS_W params{};
    params.cbSize = sizeof params;
    EXPECT_TRUE(SetupDiGetDeviceInstallParamsW(set, &data, &params));
    return params.Flags;
  }
};

// Status and problem of a present node; CR_NO_SUCH_DEVINST otherwise.
struct NodeState {
  CONFIGRET located;
  bool started;
  ULONG problem;
};

NodeState StateOf(const wchar_t* id) {
  DEVINST node = 0;
  std::wstring text = id;
  CONFIGRET cr = CM_Locate_DevNode_ExW(&node, text.data(), CM_LOCATE_DEVNODE_NORMAL, nullptr);
  if (cr != CR_SUCCESS) return {cr, false, 0};
  ULONG status = 0, problem = 0;
  EXPECT_EQ(CM_Get_DevNode_Status_Ex(&status, &problem, node, 0, nullptr), CR_SUCCESS);
  return {cr, (status & DN_STARTED) != 0, problem};
}

void ExpectState(const wchar_t* id, NodeState want) {
  NodeState got = StateOf(id);
  EXPECT_EQ(got.located, want.located);
  EXPECT_EQ(got.started, want.started);
  EXPECT_EQ(got.problem, want.problem);
}

bool InTree(const wchar_t* id) { return winsim::registry::Find(kEnum + id) != nullptr; }

struct Machine {
  winsim::usb::Bus& bus;
  winsim::usb::UsbDevice* reader;  // the one plugged in at the end is unplugged
};

// The reader plugged in with the pass driver over it, and a phantom of it.
void WithRunningReader(const std::function<void(Machine&)>& body) {
  wk::Run(0, [&] {
    passdriver::Install();
    wm::AddDevice({.instanceId = kPhantom, .className = L"USB", .service = L"korvtest"});
    {
      winsim::usb::Bus bus;
      Machine machine{bus, &bus.Plug()};
      passdriver::Log().clear();
      body(machine);
      if (machine.reader->Plugged()) bus.Unplug(*machine.reader);
    }
    wk::CheckCleanMachine();
  });
}

TEST(ClassInstallerRemove, TakesARunningStackDownAndItsKeysOut) {
  WithRunningReader([](Machine&) {
    Device reader(kReader);
    ASSERT_TRUE(reader.Remove());
    EXPECT_EQ(passdriver::Log(), (Log{"query-remove", "remove", "unload"}));
    EXPECT_EQ(reader.InstallFlags() & (DI_NEEDREBOOT | DI_NEEDRESTART), 0u);
    EXPECT_FALSE(InTree(kReader));
    EXPECT_EQ(StateOf(kReader).located, CR_NO_SUCH_DEVINST);
    EXPECT_TRUE(InTree(kPhantom)) << "only the one instance goes";
  });
}

TEST(ClassInstallerRemove, TakesAPhantomOutWithItsEmptyDeviceKey) {
  wk::Run(0, [] {
    wm::AddDevice({.instanceId = kPort, .className = L"Ports", .present = true});
    wm::AddDevice({.instanceId = kPhantom, .className = L"USB"});
    {
      Device phantom(kPhantom);
      ASSERT_TRUE(phantom.Remove());
      Device port(kPort);
      ASSERT_TRUE(port.Remove());
    }
    EXPECT_EQ(winsim::registry::Find(kEnum + L"USB\\VID_2E6B&PID_7A31"), nullptr);
    EXPECT_EQ(winsim::registry::Find(kEnum + L"ROOT\\PORTS"), nullptr);
    HDEVINFO all = SetupDiGetClassDevsExW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES, nullptr,
                                          nullptr, nullptr);
    SP_DEVINFO_DATA data{sizeof data, {}, 0, 0};
    EXPECT_FALSE(SetupDiEnumDeviceInfo(all, 0, &data)) << "nothing left to list";
    SetupDiDestroyDeviceInfoList(all);
    wk::CheckCleanMachine();
  });
}

TEST(ClassInstallerRemove, AStackThatRefusesStaysUntilTheRestart) {
  WithRunningReader([](Machine&) {
    passdriver::RefuseQueryRemove(true);
    Device reader(kReader);
    ASSERT_TRUE(reader.Remove()) << "the request is taken, for later";
    EXPECT_EQ(passdriver::Log(), (Log{"query-remove", "cancel-remove"}));
    EXPECT_EQ(reader.InstallFlags() & DI_NEEDREBOOT, static_cast<DWORD>(DI_NEEDREBOOT));
    EXPECT_TRUE(InTree(kReader));
    EXPECT_TRUE(wm::RemovalPendingAtRestart(kReader));
    ExpectState(kReader, {CR_SUCCESS, true, 0});
    passdriver::RefuseQueryRemove(false);
  });
}

TEST(ClassInstallerStateChange, DisableEnableAndRestartARunningStack) {
  WithRunningReader([](Machine&) {
    Device reader(kReader);
    ASSERT_TRUE(reader.Change(DICS_DISABLE));
    EXPECT_EQ(passdriver::Log(), (Log{"query-remove", "remove", "unload"}));
    ExpectState(kReader, {CR_SUCCESS, false, CM_PROB_DISABLED});
    std::wstring profileKey =
        L"\\Registry\\Machine\\System\\CurrentControlSet\\Hardware Profiles\\Current\\System\\"
        L"CurrentControlSet\\Enum\\" +
        std::wstring(kReader);
    EXPECT_NE(winsim::registry::Find(profileKey), nullptr) << "disabled in this profile";

    passdriver::Log().clear();
    ASSERT_TRUE(reader.Change(DICS_ENABLE));
    EXPECT_EQ(passdriver::Log(), Log{"start"});
    ExpectState(kReader, {CR_SUCCESS, true, 0});

    passdriver::Log().clear();
    ASSERT_TRUE(reader.Change(DICS_PROPCHANGE));
    EXPECT_EQ(passdriver::Log(), (Log{"query-remove", "remove", "unload", "start"}));
    EXPECT_EQ(reader.InstallFlags() & DI_NEEDREBOOT, 0u);
  });
}

TEST(ClassInstallerStateChange, ARefusedDisableWaitsForTheRestartAndOutlivesAReplug) {
  WithRunningReader([](Machine& machine) {
    passdriver::RefuseQueryRemove(true);
    {
      Device reader(kReader);
      ASSERT_TRUE(reader.Change(DICS_DISABLE, DICS_FLAG_GLOBAL));
      EXPECT_EQ(reader.InstallFlags() & DI_NEEDREBOOT, static_cast<DWORD>(DI_NEEDREBOOT));
      ExpectState(kReader, {CR_SUCCESS, true, 0});
      ASSERT_TRUE(reader.Change(DICS_PROPCHANGE));
      EXPECT_EQ(reader.InstallFlags() & DI_NEEDREBOOT, static_cast<DWORD>(DI_NEEDREBOOT));
    }
    passdriver::RefuseQueryRemove(false);
    // Plugged in again, the device comes up disabled: the flag was kept.
    machine.bus.Unplug(*machine.reader);
    passdriver::Log().clear();
    machine.reader = &machine.bus.Plug();
    EXPECT_TRUE(passdriver::Log().empty()) << "no driver for a disabled device";
    ExpectState(kReader, {CR_SUCCESS, false, CM_PROB_DISABLED});
    Device reader(kReader);
    ASSERT_TRUE(reader.Change(DICS_ENABLE, DICS_FLAG_GLOBAL));
    EXPECT_EQ(passdriver::Log(), Log{"start"});
    ExpectState(kReader, {CR_SUCCESS, true, 0});
  });
}

TEST(ClassInstallerParameters, RecordsAndRequestsTheInstallerRefuses) {
  wk::Run(0, [] {
    wm::AddDevice({.instanceId = kPort, .className = L"Ports", .present = true});
    {
      Device port(kPort);
      SP_PROPCHANGE_PARAMS change{
          {sizeof(SP_CLASSINSTALL_HEADER), DIF_PROPERTYCHANGE}, DICS_DISABLE, DICS_FLAG_GLOBAL, 0};
      SP_REMOVEDEVICE_PARAMS remove{{sizeof(SP_CLASSINSTALL_HEADER), DIF_REMOVE}, 1, 0};
      SP_CLASSINSTALL_HEADER badHeader{sizeof(SP_CLASSINSTALL_HEADER) + 1, DIF_REMOVE};
      SP_CLASSINSTALL_HEADER unknown{sizeof(SP_CLASSINSTALL_HEADER), 0x7F};
      struct Row {
        const char* what;
        PSP_CLASSINSTALL_HEADER params;
        DWORD size;
        DWORD error;
      } rows[] = {
          {"header of the wrong size", &badHeader, sizeof remove, ERROR_INVALID_USER_BUFFER},
          {"record shorter than its function's", &change.ClassInstallHeader, sizeof remove,
           ERROR_INVALID_PARAMETER},
          {"record longer than its function's", &remove.ClassInstallHeader, sizeof change,
           ERROR_INVALID_PARAMETER},
          {"function without a record", &unknown, sizeof unknown, ERROR_INVALID_PARAMETER},
          {"no record but a size", nullptr, sizeof remove, ERROR_INVALID_PARAMETER},
      };
      for (const Row& row : rows) {
        SetLastError(0);
        EXPECT_FALSE(SetupDiSetClassInstallParamsW(port.set, &port.data, row.params, row.size))
            << row.what;
        EXPECT_EQ(GetLastError(), row.error) << row.what;
      }
      EXPECT_EQ(port.InstallFlags() & DI_CLASSINSTALLPARAMS, 0u) << "nothing was installed";

      // A property change needs its record; the device must be named.
      EXPECT_FALSE(SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, port.set, &port.data));
      EXPECT_EQ(GetLastError(), ERROR_NO_CLASSINSTALL_PARAMS);
      EXPECT_FALSE(SetupDiCallClassInstaller(DIF_REMOVE, port.set, nullptr));
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

      struct ChangeRow {
        const char* what;
        DWORD state, scope, profile, error;
      } changes[] = {
          {"a start per profile is not modelled", DICS_START, DICS_FLAG_CONFIGSPECIFIC, 0,
           ERROR_INVALID_PARAMETER},
          {"scope of no kind", DICS_DISABLE, 0, 0, ERROR_INVALID_FLAGS},
          {"another hardware profile", DICS_DISABLE, DICS_FLAG_CONFIGSPECIFIC, 7,
           ERROR_INVALID_HWPROFILE},
      };
      for (const ChangeRow& row : changes) {
        EXPECT_FALSE(port.Change(row.state, row.scope, row.profile)) << row.what;
        EXPECT_EQ(GetLastError(), row.error) << row.what;
      }
      ExpectState(kPort, {CR_SUCCESS, true, 0});

      SP_DEVINSTALL_PARAMS_W install{};
      install.cbSize = sizeof install - 4;
      EXPECT_FALSE(SetupDiGetDeviceInstallParamsW(port.set, &port.data, &install));
      EXPECT_EQ(GetLastError(), ERROR_INVALID_USER_BUFFER);

      // A record installed for the set serves every device without one of its
      // own (the rows above left one on the device).
      ASSERT_TRUE(SetupDiSetClassInstallParamsW(port.set, &port.data, nullptr, 0));
      ASSERT_TRUE(SetupDiSetClassInstallParamsW(port.set, nullptr, &change.ClassInstallHeader,
                                                sizeof change));
      ASSERT_TRUE(SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, port.set, &port.data));
      ExpectState(kPort, {CR_SUCCESS, false, CM_PROB_DISABLED});
    }
    wk::CheckCleanMachine();
  });
}

}  // namespace
