// A minimal function driver over a bus PDO, for the bus's tests. It sends
// URBs down from its own context and either waits for them or leaves them
// in flight, to be completed, cancelled, aborted or failed later.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "platform/kernel.h"
#include "winsim/kernel/sim.h"
#include "winsim/usb/bus.h"

namespace usbtest {

// A request this driver sent and did not wait for.
struct InFlight {
  PIRP irp = nullptr;
  URB urb{};
  std::vector<UCHAR> buffer;  // through an MDL: guard bytes around the transfer window
  PMDL mdl = nullptr;
  KEVENT done;
  NTSTATUS returned = 0;  // what IoCallDriver said
  bool completed = false;
  IO_STATUS_BLOCK io{};
  KIRQL irql = 0;                         // where its completion ran
  winsim::host::Thread* thread = nullptr;
};

class FunctionDriver {
 public:
  // Loads the driver ("usbtest") and attaches a device to the PDO.
  explicit FunctionDriver(PDEVICE_OBJECT pdo);
  // Detaches, deletes the device and unloads with the verifier's leak check;
  // every request must have completed and been freed by then.
  ~FunctionDriver();

  PDRIVER_OBJECT Driver() const { return driver_; }
  PDEVICE_OBJECT Lower() const { return lower_; }

  // Sent with IoBuildDeviceIoControlRequest and waited for.
  NTSTATUS Submit(URB& urb);
  NTSTATUS ResetPort();

  // Reads the configuration descriptor, selects it with every pipe asking for
  // `maxTransfer`, and keeps the pipes, in the order the bus returned them.
  NTSTATUS Configure(ULONG maxTransfer = 256);
  const std::vector<USBD_PIPE_INFORMATION>& Pipes() const { return pipes_; }
  USBD_PIPE_HANDLE Pipe(UCHAR endpoint) const;

  // A bulk transfer left in flight: IN into a buffer of `length` bytes, OUT
  // of `data`. With `viaMdl` the buffer is described by a partial MDL of a
  // larger locked buffer, as a driver staging a request does.
  std::unique_ptr<InFlight> StartBulk(UCHAR endpoint, ULONG length, ULONG flags,
                                      std::span<const UCHAR> data = {}, bool viaMdl = false);
  // Any URB left in flight (its buffers are the caller's).
  std::unique_ptr<InFlight> Start(const URB& urb);
  std::unique_ptr<InFlight> StartWaitWake();
  // Waits for completion and frees the request.
  NTSTATUS Wait(InFlight& request);

  NTSTATUS BulkIn(UCHAR endpoint, ULONG length, ULONG flags, std::vector<UCHAR>* data,
                  ULONG* transferred = nullptr);
  NTSTATUS BulkOut(UCHAR endpoint, std::span<const UCHAR> data, ULONG* transferred = nullptr);
  NTSTATUS PipeRequest(USHORT function, UCHAR endpoint);

 private:
  std::unique_ptr<InFlight> Send(std::unique_ptr<InFlight> request, UCHAR major);
  void Release(InFlight& request);

  PDRIVER_OBJECT driver_ = nullptr;
  PDEVICE_OBJECT device_ = nullptr;
  PDEVICE_OBJECT lower_ = nullptr;
  std::vector<USBD_PIPE_INFORMATION> pipes_;
  std::vector<UCHAR> configuration_;
};

// Plug and Play and power requests sent straight to the PDO, as the PnP and
// power managers would. `information` receives IoStatus.Information.
NTSTATUS SendPnp(PDEVICE_OBJECT pdo, UCHAR minor, void (*fill)(PIO_STACK_LOCATION, void*),
                 void* context, ULONG_PTR* information = nullptr);
NTSTATUS SendRemove(PDEVICE_OBJECT pdo);
NTSTATUS SetDevicePower(PDEVICE_OBJECT pdo, DEVICE_POWER_STATE state);

}  // namespace usbtest
