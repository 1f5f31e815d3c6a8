// Small drivers for tests of the stand-in kernel. A scripted driver hands
// every request to the std::function of the device it was sent to; the test
// owns that Script. The device extension holds only a pointer to it: the
// kernel frees extensions with free(), so no C++ object may live there.
// Everything here that calls the kernel must run inside a simulation run.
#pragma once
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "platform/kernel.h"
#include "winsim/kernel/sim.h"

namespace winsim::testing {

// Runs `scenario` in a simulation run under `seed`. A failure raised on one
// of the run's threads does not carry the caller's SCOPED_TRACE, so `what` is
// traced on the scenario's thread and named again after the run if any
// thread of it failed.
void RunCase(const std::string& what, uint64_t seed, const std::function<void()>& scenario);

using Dispatch = std::function<NTSTATUS(PDEVICE_OBJECT device, PIRP irp)>;
using Routine = std::function<NTSTATUS(PDEVICE_OBJECT device, PIRP irp)>;

struct Script {
  // Runs for every major function sent to the device. A request that
  // arrives while it is empty fails the test and is completed with
  // STATUS_INVALID_DEVICE_REQUEST.
  Dispatch dispatch;
  // The device this one is attached to, set by AttachScripted.
  PDEVICE_OBJECT lower = nullptr;
};

// Loads a driver named `service` whose dispatch routines run the scripts of
// its devices.
PDRIVER_OBJECT LoadScriptedDriver(const std::wstring& service);

// Creates a device of `driver` run by `script` (which must outlive it),
// ready for requests, with `flags` (DO_BUFFERED_IO, DO_DIRECT_IO) set.
PDEVICE_OBJECT CreateScriptedDevice(PDRIVER_OBJECT driver, Script* script,
                                    const wchar_t* name = nullptr, ULONG flags = 0);

// Attaches `upper` to the top of the stack holding `target` and records the
// device it landed on in its script.
PDEVICE_OBJECT AttachScripted(PDEVICE_OBJECT upper, PDEVICE_OBJECT target);

Script* ScriptOf(PDEVICE_OBJECT device);

// Sets `routine` as the completion routine in the next stack location. The
// caller keeps `routine` alive until it has run.
void SetCompletion(PIRP irp, Routine* routine, bool onSuccess = true, bool onError = true,
                   bool onCancel = true);

// Ends a request in a dispatch routine: status, information, completion.
// Returns `status` for the dispatch routine to return.
NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0);

// Starts a system thread of `driver` running `body` (kept alive by the
// caller until the thread ends) and returns it referenced.
PKTHREAD StartSystemThread(PDRIVER_OBJECT driver, const std::function<void()>& body);
// Waits for a thread from StartSystemThread to end and drops the reference,
// as a driver does before it unloads.
void JoinSystemThread(PKTHREAD thread);

// The verifier's report as a regular expression for EXPECT_DEATH: the call,
// the verdict (a regular expression), the driver whose code was running and
// the request (a regular expression, "none" when the report names none).
std::string VerifierReport(const std::string& call, const std::string& what,
                           const std::string& driver, const std::string& request = "none");

// A pool tag from its four characters, in the order a debugger shows them.
constexpr ULONG Tag(const char (&text)[5]) {
  return ULONG(UCHAR(text[0])) | ULONG(UCHAR(text[1])) << 8 | ULONG(UCHAR(text[2])) << 16 |
         ULONG(UCHAR(text[3])) << 24;
}

// A device stack of scripted drivers, one driver and one device per level,
// bottom first. Built and unloaded inside a run.
class DeviceStack {
 public:
  struct Level {
    std::wstring service;
    Script script;
    PDRIVER_OBJECT driver = nullptr;
    PDEVICE_OBJECT device = nullptr;
  };

  explicit DeviceStack(std::initializer_list<std::wstring> services, ULONG bottomFlags = 0);

  Level& operator[](size_t level) { return *levels_[level]; }
  Level& Top() { return *levels_.back(); }
  size_t Size() const { return levels_.size(); }

  // Detaches and deletes every device and unloads every driver, top first;
  // the verifier then checks that no driver leaked anything.
  void Unload();

 private:
  std::vector<std::unique_ptr<Level>> levels_;
};

}  // namespace winsim::testing
