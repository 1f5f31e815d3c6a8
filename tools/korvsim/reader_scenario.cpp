// The package as it stands on the simulated machine: KORVUSB bound to the
// card reader's hardware id, the reader plugged in, an application opening
// the reader's pipes through its device interface with the Win32 calls a
// program makes, a card swiped, and the reader pulled out again.
#include "tools/korvsim/scenarios.h"

#include <cstdio>
#include <string>
#include <vector>

#include "include/korvusb_ioctl.h"
#include "platform/win32.h"
#include "usbdriver/korvusb.h"
#include "winsim/kernel/pnp.h"
#include "winsim/kernel/sim.h"
#include "winsim/usb/bus.h"

namespace korvsim {
namespace {

namespace wk = winsim::kernel;

std::string Narrow(const std::wstring& w) { return std::string(w.begin(), w.end()); }

// "\??\USB#...#{guid}" as a program names it.
std::wstring ProgramPath(const std::wstring& link, const wchar_t* pipe) {
  return L"\\\\?\\" + link.substr(4) + L"\\" + pipe;
}

bool Check(bool ok, const char* what) {
  if (!ok) Log("korvsim", "FAILED: %s", what);
  return ok;
}

bool Application(winsim::usb::UsbDevice& reader) {
  std::vector<std::wstring> links = wk::InterfaceLinks(kKorvUsbInterfaceGuid);
  if (!Check(links.size() == 1, "one KORVUSB interface is enabled")) return false;
  Log("app", "found the reader's interface %s", Narrow(links[0]).c_str());
  HANDLE in = CreateFileW(ProgramPath(links[0], L"if0pipe1").c_str(), GENERIC_READ | GENERIC_WRITE,
                          0, nullptr, OPEN_EXISTING, 0, nullptr);
  HANDLE out = CreateFileW(ProgramPath(links[0], L"if0pipe0").c_str(),
                           GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (!Check(in != INVALID_HANDLE_VALUE && out != INVALID_HANDLE_VALUE, "both pipes open")) {
    return false;
  }
  Log("app", "opened pipe 1 (bulk IN) and pipe 0 (bulk OUT)");

  ULONG ready = 0;
  DWORD bytes = 0;
  BOOL ok = DeviceIoControl(in, IOCTL_KORVUSB_IS_READY, nullptr, 0, &ready, sizeof ready, &bytes,
                            nullptr);
  Log("app", "IOCTL_KORVUSB_IS_READY: %s, answer %lu", ok ? "ok" : "failed",
      static_cast<unsigned long>(ready));

  std::string command(600, 'W');
  ok = WriteFile(out, command.data(), static_cast<DWORD>(command.size()), &bytes, nullptr);
  Log("app", "wrote a %zu-byte command: %s, %lu bytes taken", command.size(),
      ok ? "ok" : "failed", static_cast<unsigned long>(bytes));
  bool good = Check(ok && bytes == command.size(), "the whole command was written") &&
              Check(reader.Model().OutData().size() == command.size(),
                    "the device received every byte");

  const std::string track = "%B4111111111111111^KORV/TEST^29121010000000000000?";
  reader.Model().QueueIn(track);
  Log("device", "card swiped: %zu bytes of track data queued on bulk IN", track.size());
  std::string received;
  while (received.size() < track.size()) {
    char buffer[64];
    ok = ReadFile(in, buffer, sizeof buffer, &bytes, nullptr);
    if (!ok || bytes == 0) break;
    received.append(buffer, bytes);
    Log("app", "read %lu bytes", static_cast<unsigned long>(bytes));
  }
  good &= Check(received == track, "the application read the track data unchanged");
  Log("app", "track data: %s", received.c_str());
  CloseHandle(in);
  CloseHandle(out);
  Log("app", "closed both pipes");
  return good;
}

}  // namespace

int RunReaderScenario(uint64_t seed) {
  std::printf("korvsim: the card reader and KORVUSB on the simulated machine, seed %llu\n",
              static_cast<unsigned long long>(seed));
  bool good = false;
  wk::Run(seed, [&] {
    wk::RegisterDriverImage(L"KORVUSB", korvusb::DriverEntry);
    wk::BindDriver(L"USB\\VID_2E6B&PID_7A31", L"KORVUSB");
    Log("machine", "KORVUSB installed for USB\\VID_2E6B&PID_7A31");
    {
      winsim::usb::Bus bus;
      winsim::usb::UsbDevice& reader = bus.Plug(winsim::usb::kCardReader);
      wk::DeviceNode* node = nullptr;
      for (wk::DeviceNode* n : wk::DeviceNodes()) {
        if (wk::PhysicalDeviceOf(n) == reader.Pdo()) node = n;
      }
      good = Check(node != nullptr && wk::StateOf(node) == wk::DeviceState::kStarted,
                   "the reader started");
      if (node) Log("machine", "reader plugged in: %s", Narrow(wk::InstanceId(node)).c_str());
      good = good && Application(reader);
      bus.Unplug(reader);
      Log("machine", "reader unplugged: surprise removal, removal, KORVUSB unloaded");
    }
    wk::CheckCleanMachine();
    Log("machine", "nothing left: no request, MDL, pool block, thread, handle, key or link");
  });
  std::printf("korvsim: %s\n", good ? "ok" : "FAILED");
  return good ? 0 : 1;
}

}  // namespace korvsim
