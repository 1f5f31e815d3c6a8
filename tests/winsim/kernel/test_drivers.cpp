#include "tests/winsim/kernel/test_drivers.h"

#include <gtest/gtest.h>

#include "tests/winsim/kernel/seeds.h"

namespace winsim::testing {
namespace {

NTSTATUS RunScript(PDEVICE_OBJECT device, PIRP irp) {
  Script* script = ScriptOf(device);
  if (!script->dispatch) {
    ADD_FAILURE() << "no script for major function 0x" << std::hex
                  << int(IoGetCurrentIrpStackLocation(irp)->MajorFunction);
    return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
  }
  return script->dispatch(device, irp);
}

NTSTATUS ScriptedEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (auto& dispatch : driver->MajorFunction) dispatch = RunScript;
  return STATUS_SUCCESS;
}

NTSTATUS RunRoutine(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
  return (*static_cast<Routine*>(context))(device, irp);
}

VOID RunBody(PVOID context) { (*static_cast<const std::function<void()>*>(context))(); }

}  // namespace

void RunCase(const std::string& what, uint64_t seed, const std::function<void()>& scenario) {
  std::string name = what + " (seed " + std::to_string(seed) + ")";
  int before = detail::FailureCount();
  kernel::Run(seed, [&] {
    SCOPED_TRACE(name);
    scenario();
  });
  if (detail::FailureCount() != before) ADD_FAILURE() << "the failures above came from: " << name;
}

std::string VerifierReport(const std::string& call, const std::string& what,
                           const std::string& driver, const std::string& request) {
  return "winsim verifier: " + call + ": .*" + what + ".*\n  driver: " + driver +
         "\n  request: " + request;
}

PDRIVER_OBJECT LoadScriptedDriver(const std::wstring& service) {
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  PDRIVER_OBJECT driver = kernel::LoadDriver(service, ScriptedEntry, &status);
  EXPECT_EQ(status, STATUS_SUCCESS);
  return driver;
}

PDEVICE_OBJECT CreateScriptedDevice(PDRIVER_OBJECT driver, Script* script, const wchar_t* name,
                                    ULONG flags) {
  UNICODE_STRING text;
  if (name) RtlInitUnicodeString(&text, name);
  PDEVICE_OBJECT device = nullptr;
  kernel::AsDriver(driver, [&] {
    NTSTATUS status = IoCreateDevice(driver, sizeof(Script*), name ? &text : nullptr,
                                     FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    EXPECT_EQ(status, STATUS_SUCCESS);
    if (!NT_SUCCESS(status)) return;
    *static_cast<Script**>(device->DeviceExtension) = script;
    device->Flags |= flags;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
  });
  return device;
}

PDEVICE_OBJECT AttachScripted(PDEVICE_OBJECT upper, PDEVICE_OBJECT target) {
  PDEVICE_OBJECT lower = nullptr;
  kernel::AsDriver(upper->DriverObject,
                   [&] { lower = IoAttachDeviceToDeviceStack(upper, target); });
  EXPECT_NE(lower, nullptr);
  ScriptOf(upper)->lower = lower;
  return lower;
}

Script* ScriptOf(PDEVICE_OBJECT device) { return *static_cast<Script**>(device->DeviceExtension); }

void SetCompletion(PIRP irp, Routine* routine, bool onSuccess, bool onError, bool onCancel) {
  IoSetCompletionRoutine(irp, RunRoutine, routine, onSuccess, onError, onCancel);
}

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

PKTHREAD StartSystemThread(PDRIVER_OBJECT driver, const std::function<void()>& body) {
  PKTHREAD thread = nullptr;
  kernel::AsDriver(driver, [&] {
    HANDLE handle;
    NTSTATUS status = PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                           RunBody, const_cast<std::function<void()>*>(&body));
    ASSERT_EQ(status, STATUS_SUCCESS);
    PVOID object = nullptr;
    EXPECT_EQ(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode,
                                        &object, nullptr),
              STATUS_SUCCESS);
    ZwClose(handle);
    thread = static_cast<PKTHREAD>(object);
  });
  return thread;
}

void JoinSystemThread(PKTHREAD thread) {
  EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  ObDereferenceObject(thread);
}

DeviceStack::DeviceStack(std::initializer_list<std::wstring> services, ULONG bottomFlags) {
  for (const std::wstring& service : services) {
    auto level = std::make_unique<Level>();
    level->service = service;
    level->driver = LoadScriptedDriver(service);
    level->device = CreateScriptedDevice(level->driver, &level->script, nullptr,
                                         levels_.empty() ? bottomFlags : 0);
    if (!levels_.empty()) {
      // A filter takes the buffering method of the device below it.
      level->device->Flags |= levels_.back()->device->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO);
      AttachScripted(level->device, levels_.back()->device);
    }
    levels_.push_back(std::move(level));
  }
}

void DeviceStack::Unload() {
  for (size_t i = levels_.size(); i-- > 0;) {
    Level& level = *levels_[i];
    kernel::AsDriver(level.driver, [&] {
      if (level.script.lower) IoDetachDevice(level.script.lower);
      IoDeleteDevice(level.device);
    });
    kernel::UnloadDriver(level.driver);
  }
  levels_.clear();
}

}  // namespace winsim::testing
