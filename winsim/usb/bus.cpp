// The bus driver: one PDO per plugged device, its internal USB requests
// (URBs and port resets), its Plug and Play and power requests, and the
// service thread that moves and completes what the device could not answer
// inside the dispatch routine.
//
// Locking: each port's spin lock guards its request list, its pipes and its
// model while the bus works on them. Requests are never completed with the
// lock held: completion routines send the next request straight back here.
#include "winsim/usb/bus.h"

#include <algorithm>
#include <cstdio>
#include <list>
#include <set>
#include <string>
#include <vector>

#include "winsim/kernel/internal.h"
#include "winsim/kernel/pnp.h"
#include "winsim/kernel/sim.h"

namespace winsim::usb {

namespace wk = winsim::kernel;

namespace {

constexpr ULONG kPoolTag = 0x42627355;  // "UsbB"

// Opaque handles: a tag byte, the port and the configuration's generation,
// so a handle from another device or an earlier configuration is refused.
constexpr ULONG_PTR kPipeHandleTag = 0xB5;
constexpr ULONG_PTR kConfigurationHandleTag = 0xC5;
constexpr ULONG_PTR kInterfaceHandleTag = 0xD5;

struct Pipe {
  UCHAR endpoint;
  USHORT maxPacket;
  USBD_PIPE_TYPE type;
  ULONG maxTransfer;
  bool halted;  // on the host side, after an error; cleared by a pipe reset
};

enum class Stage {
  kWaiting,     // a bulk transfer the device has not finished
  kAnswered,    // done at the device, waiting to be completed
  kCancelling,  // its cancel routine is about to take it
};

struct Request {
  PIRP irp;
  PURB urb;  // nullptr for a port reset
  Stage stage;
  USBD_STATUS status;
  NTSTATUS nt;  // 0: derived from status
  bool bulk;
  UCHAR endpoint;
  bool in;
  bool shortOk;
  PUCHAR buffer;
  ULONG length;
  ULONG done;
  uint64_t start;
};

struct PdoExtension {
  Port* port;
};

}  // namespace

struct Port {
  Port(Bus::State* owner, ULONG n, const DeviceDescription& description, Completion c)
      : bus(owner), number(n), model(description), completion(c) {
    KeInitializeSpinLock(&lock);
  }
  Bus::State* bus;
  ULONG number;
  DeviceModel model;
  UsbDevice handle{this};
  PDEVICE_OBJECT pdo = nullptr;
  bool deleted = false;
  bool gone = false;
  Completion completion;
  KSPIN_LOCK lock;
  std::list<Request> requests;
  std::vector<Pipe> pipes;
  ULONG generation = 0;
  PIRP waitWake = nullptr;
};

struct Bus::State {
  PDRIVER_OBJECT driver = nullptr;
  std::vector<std::unique_ptr<Port>> ports;
  KEVENT wake;
  bool stopping = false;
  PETHREAD thread = nullptr;
};

NTSTATUS NtStatusFromUsbd(USBD_STATUS status) {
  if (USBD_SUCCESS(status)) return STATUS_SUCCESS;
  switch (status) {
    case USBD_STATUS_CANCELED:
      return STATUS_CANCELLED;
    case USBD_STATUS_DEVICE_GONE:
      return STATUS_DEVICE_NOT_CONNECTED;
    case USBD_STATUS_INVALID_PARAMETER:
    case USBD_STATUS_INVALID_PIPE_HANDLE:
    case USBD_STATUS_INVALID_URB_FUNCTION:
      return STATUS_INVALID_PARAMETER;
    case USBD_STATUS_INSUFFICIENT_RESOURCES:
      return STATUS_INSUFFICIENT_RESOURCES;
    case USBD_STATUS_BUFFER_TOO_SMALL:
      return STATUS_BUFFER_TOO_SMALL;
    case USBD_STATUS_NOT_SUPPORTED:
      return STATUS_NOT_SUPPORTED;
    case USBD_STATUS_TIMEOUT:
      return STATUS_IO_TIMEOUT;
    case USBD_STATUS_ERROR_BUSY:
      return STATUS_DEVICE_BUSY;
    default:
      return STATUS_UNSUCCESSFUL;  // stalls, halts and the other transfer errors
  }
}

namespace {

// ---- small helpers ----------------------------------------------------------

Port& PortOf(PDEVICE_OBJECT pdo) {
  return *static_cast<PdoExtension*>(pdo->DeviceExtension)->port;
}

void Kick(Bus::State* bus) { KeSetEvent(&bus->wake, IO_NO_INCREMENT, FALSE); }

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

PVOID EncodeHandle(ULONG_PTR tag, const Port& port, ULONG generation, size_t index) {
  return reinterpret_cast<PVOID>(tag << 56 | static_cast<ULONG_PTR>(port.number & 0xFFFF) << 40 |
                                 static_cast<ULONG_PTR>(generation & 0xFFFFFF) << 16 |
                                 static_cast<ULONG_PTR>(index + 1));
}

Pipe* FindPipe(Port& port, USBD_PIPE_HANDLE handle) {
  auto value = reinterpret_cast<ULONG_PTR>(handle);
  size_t index = static_cast<size_t>(value & 0xFFFF);
  if (index == 0 || index > port.pipes.size() ||
      value != reinterpret_cast<ULONG_PTR>(
                   EncodeHandle(kPipeHandleTag, port, port.generation, index - 1))) {
    return nullptr;
  }
  return &port.pipes[index - 1];
}

Pipe* PipeForEndpoint(Port& port, UCHAR endpoint) {
  for (Pipe& p : port.pipes) {
    if (p.endpoint == endpoint) return &p;
  }
  return nullptr;
}

// The transfer buffer a URB names: its MDL, mapped, or its plain pointer.
bool BufferOf(PVOID buffer, PMDL mdl, ULONG length, PUCHAR* out) {
  if (mdl != nullptr) {
    if (MmGetMdlByteCount(mdl) < length) return false;
    *out = static_cast<PUCHAR>(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority));
    return *out != nullptr;
  }
  *out = static_cast<PUCHAR>(buffer);
  return length == 0 || buffer != nullptr;
}

// Completes a request the bus has taken out of its list.
NTSTATUS Finish(const Request& r) {
  if (r.urb != nullptr) {
    r.urb->UrbHeader.Status = r.status;
    if (r.bulk) r.urb->UrbBulkOrInterruptTransfer.TransferBufferLength = r.done;
  }
  return Complete(r.irp, r.nt != 0 ? r.nt : NtStatusFromUsbd(r.status));
}

// Completions outside the dispatch path run at DISPATCH_LEVEL, as they would
// from a host controller's DPC.
void FinishAtDispatch(const std::vector<Request>& finished) {
  if (finished.empty()) return;
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  for (const Request& r : finished) Finish(r);
  KeLowerIrql(old);
}

// Takes the requests `which` selects out of the list, under the port lock.
// A waiting transfer whose cancel routine already runs is left to it.
template <typename Which>
std::vector<Request> TakeRequests(Port& port, Which which) {
  std::vector<Request> taken;
  KIRQL old;
  KeAcquireSpinLock(&port.lock, &old);
  for (auto it = port.requests.begin(); it != port.requests.end();) {
    if (it->stage == Stage::kCancelling || !which(*it)) {
      ++it;
      continue;
    }
    if (it->stage == Stage::kWaiting && IoSetCancelRoutine(it->irp, nullptr) == nullptr) {
      it->stage = Stage::kCancelling;
      ++it;
      continue;
    }
    taken.push_back(*it);
    it = port.requests.erase(it);
  }
  KeReleaseSpinLock(&port.lock, old);
  return taken;
}

// Ends every transfer still waiting for the device with `status`.
void EndWaiting(Port& port, USBD_STATUS status, std::optional<UCHAR> endpoint = std::nullopt) {
  std::vector<Request> taken = TakeRequests(port, [&](const Request& r) {
    return r.stage == Stage::kWaiting && (!endpoint || r.endpoint == *endpoint);
  });
  for (Request& r : taken) r.status = status;
  FinishAtDispatch(taken);
}

// ---- bulk transfers ---------------------------------------------------------

// Lets the device move data for one waiting transfer; called under the lock.
BulkOutcome Move(Port& port, Request& r) {
  Pipe* pipe = PipeForEndpoint(port, r.endpoint);
  if (pipe != nullptr && pipe->halted && !port.model.Halted(r.endpoint)) {
    return {true, USBD_STATUS_ENDPOINT_HALTED};
  }
  BulkOutcome o =
      r.in ? port.model.BulkIn(r.endpoint, {r.buffer, r.length}, &r.done, r.shortOk)
           : port.model.BulkOut(r.endpoint, {r.buffer, r.length}, &r.done,
                                KeQueryInterruptTime(), r.start);
  if (o.finished && USBD_HALTED(o.status) && pipe != nullptr) pipe->halted = true;
  return o;
}

bool EndpointBusy(const Port& port, UCHAR endpoint) {
  for (const Request& r : port.requests) {
    if (r.stage == Stage::kWaiting && r.endpoint == endpoint) return true;
  }
  return false;
}

VOID CancelTransfer(PDEVICE_OBJECT pdo, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  Port& port = PortOf(pdo);
  std::vector<Request> taken;
  KIRQL old;
  KeAcquireSpinLock(&port.lock, &old);
  for (auto it = port.requests.begin(); it != port.requests.end(); ++it) {
    if (it->irp == irp) {
      taken.push_back(*it);
      port.requests.erase(it);
      break;
    }
  }
  KeReleaseSpinLock(&port.lock, old);
  for (Request& r : taken) {
    // A transfer the device finished just before the cancel keeps its result:
    // its data is in the buffer and gone from the device.
    if (r.status == USBD_STATUS_PENDING) r.status = USBD_STATUS_CANCELED;
    Finish(r);
  }
}

// Moves what it can on every waiting transfer, in order, one transfer at a
// time per endpoint, and completes what is done. At DISPATCH_LEVEL.
bool ServicePort(Port& port) {
  std::vector<Request> finished;
  KeAcquireSpinLockAtDpcLevel(&port.lock);
  std::set<UCHAR> busy;
  for (auto it = port.requests.begin(); it != port.requests.end();) {
    Request& r = *it;
    if (r.stage == Stage::kCancelling) {
      ++it;
      continue;
    }
    if (r.stage == Stage::kWaiting) {
      if (busy.count(r.endpoint)) {
        ++it;
        continue;
      }
      BulkOutcome o = Move(port, r);
      if (!o.finished) {
        busy.insert(r.endpoint);
        ++it;
        continue;
      }
      r.status = o.status;
      if (IoSetCancelRoutine(r.irp, nullptr) == nullptr) {
        r.stage = Stage::kCancelling;
        ++it;
        continue;
      }
    }
    finished.push_back(r);
    it = port.requests.erase(it);
  }
  KeReleaseSpinLockFromDpcLevel(&port.lock);
  for (const Request& r : finished) Finish(r);
  return !finished.empty();
}

bool WaitsForTime(Bus::State* bus) {
  for (size_t i = 0; i < bus->ports.size(); ++i) {
    Port* port = bus->ports[i].get();
    KIRQL old;
    KeAcquireSpinLock(&port->lock, &old);
    bool timed = false;
    for (const Request& r : port->requests) {
      timed |= r.stage == Stage::kWaiting && !r.in && port->model.OutIsTimed(r.endpoint);
    }
    KeReleaseSpinLock(&port->lock, old);
    if (timed) return true;
  }
  return false;
}

VOID ServiceThread(PVOID context) {
  auto* bus = static_cast<Bus::State*>(context);
  for (;;) {
    LARGE_INTEGER tick;
    tick.QuadPart = -10000;  // a millisecond: the pace of a slow OUT endpoint
    KeWaitForSingleObject(&bus->wake, Executive, KernelMode, FALSE,
                          WaitsForTime(bus) ? &tick : nullptr);
    if (bus->stopping) PsTerminateSystemThread(STATUS_SUCCESS);
    KIRQL old = KeRaiseIrqlToDpcLevel();
    for (bool progress = true; progress;) {
      progress = false;
      // By index: a port plugged meanwhile may move the vector, never a port.
      for (size_t i = 0; i < bus->ports.size(); ++i) progress |= ServicePort(*bus->ports[i]);
    }
    KeLowerIrql(old);
  }
}

// ---- URB functions ------------------------------------------------------------

struct Outcome {
  USBD_STATUS status;
  bool rejected;  // refused by the bus before the device saw it
};

Outcome Rejected(USBD_STATUS status) { return {status, true}; }
Outcome Answered(USBD_STATUS status) { return {status, false}; }

// Completes a URB the device has answered (or the bus refused): at once, or
// from the service thread.
NTSTATUS Answer(Port& port, PIRP irp, PURB urb, Outcome outcome, NTSTATUS nt = 0) {
  Request r{irp, urb, Stage::kAnswered, outcome.status, nt, false, 0, false, false,
            nullptr, 0, 0, 0};
  if (outcome.rejected || port.completion == Completion::kInline) return Finish(r);
  if (urb != nullptr) urb->UrbHeader.Status = USBD_STATUS_PENDING;
  KIRQL old;
  KeAcquireSpinLock(&port.lock, &old);
  port.requests.push_back(r);
  IoMarkIrpPending(irp);
  KeReleaseSpinLock(&port.lock, old);
  Kick(port.bus);
  return STATUS_PENDING;
}

NTSTATUS StartBulk(Port& port, PIRP irp, PURB urb) {
  auto& t = urb->UrbBulkOrInterruptTransfer;
  auto refuse = [&](USBD_STATUS status, NTSTATUS nt = 0) {
    t.TransferBufferLength = 0;
    return Answer(port, irp, urb, Rejected(status), nt);
  };
  if (urb->UrbHeader.Length < sizeof t) return refuse(USBD_STATUS_INVALID_PARAMETER);
  bool in = (t.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
  Request r{irp, urb, Stage::kWaiting, USBD_STATUS_PENDING, 0, true, 0, in,
            (t.TransferFlags & USBD_SHORT_TRANSFER_OK) != 0, nullptr, t.TransferBufferLength,
            0, KeQueryInterruptTime()};
  KIRQL old;
  KeAcquireSpinLock(&port.lock, &old);
  Pipe* pipe = FindPipe(port, t.PipeHandle);
  USBD_STATUS refused = USBD_STATUS_SUCCESS;
  if (port.gone) {
    // Checked again under the lock: an unplug may have emptied the list meanwhile.
    refused = USBD_STATUS_DEVICE_GONE;
  } else if (pipe == nullptr) {
    refused = USBD_STATUS_INVALID_PIPE_HANDLE;
  } else if ((pipe->type != UsbdPipeTypeBulk && pipe->type != UsbdPipeTypeInterrupt) ||
             in != (USB_ENDPOINT_DIRECTION_IN(pipe->endpoint) != 0) ||
             r.length > pipe->maxTransfer ||
             !BufferOf(t.TransferBuffer, t.TransferBufferMDL, r.length, &r.buffer)) {
    refused = USBD_STATUS_INVALID_PARAMETER;
  } else {
    r.endpoint = pipe->endpoint;
  }
  if (refused != USBD_STATUS_SUCCESS) {
    KeReleaseSpinLock(&port.lock, old);
    return refuse(refused);
  }
  if (auto fault = port.model.TakeFault(in ? RequestKind::kBulkIn : RequestKind::kBulkOut)) {
    KeReleaseSpinLock(&port.lock, old);
    return refuse(fault->usbd, fault->nt);
  }
  urb->UrbHeader.Status = USBD_STATUS_PENDING;
  if (port.completion == Completion::kInline && !EndpointBusy(port, r.endpoint)) {
    BulkOutcome o = Move(port, r);
    if (o.finished) {
      KeReleaseSpinLock(&port.lock, old);
      r.status = o.status;
      return Finish(r);
    }
  }
  port.requests.push_back(r);
  IoMarkIrpPending(irp);
  IoSetCancelRoutine(irp, CancelTransfer);
  if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
    port.requests.pop_back();
    KeReleaseSpinLock(&port.lock, old);
    r.status = USBD_STATUS_CANCELED;
    Finish(r);
    return STATUS_PENDING;
  }
  KeReleaseSpinLock(&port.lock, old);
  Kick(port.bus);
  return STATUS_PENDING;
}

// Runs one control transfer at the device under the port lock.
std::optional<ULONG> DeviceControl(Port& port, const SetupPacket& setup, std::span<UCHAR> data) {
  KIRQL old;
  KeAcquireSpinLock(&port.lock, &old);
  std::optional<ULONG> answer = port.model.Control(setup, data);
  KeReleaseSpinLock(&port.lock, old);
  return answer;
}

Outcome GetDescriptor(Port& port, PURB urb) {
  auto& r = urb->UrbControlDescriptorRequest;
  PUCHAR buffer;
  if (urb->UrbHeader.Length < sizeof r ||
      !BufferOf(r.TransferBuffer, r.TransferBufferMDL, r.TransferBufferLength, &buffer)) {
    return Rejected(USBD_STATUS_INVALID_PARAMETER);
  }
  USHORT length = static_cast<USHORT>(std::min<ULONG>(r.TransferBufferLength, 0xFFFF));
  SetupPacket setup{0x80, USB_REQUEST_GET_DESCRIPTOR,
                    USB_DESCRIPTOR_MAKE_TYPE_AND_INDEX(r.DescriptorType, r.Index), r.LanguageId,
                    length};
  std::optional<ULONG> n = DeviceControl(port, setup, {buffer, length});
  r.TransferBufferLength = n.value_or(0);
  return Answered(n ? USBD_STATUS_SUCCESS : USBD_STATUS_STALL_PID);
}

Outcome ClassOrVendor(Port& port, PURB urb) {
  auto& r = urb->UrbControlVendorClassRequest;
  UCHAR type = 0;
  UCHAR recipient = 0;
  switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_VENDOR_DEVICE: type = 0x40; recipient = 0; break;
    case URB_FUNCTION_VENDOR_INTERFACE: type = 0x40; recipient = 1; break;
    case URB_FUNCTION_VENDOR_ENDPOINT: type = 0x40; recipient = 2; break;
    case URB_FUNCTION_VENDOR_OTHER: type = 0x40; recipient = 3; break;
    case URB_FUNCTION_CLASS_DEVICE: type = 0x20; recipient = 0; break;
    case URB_FUNCTION_CLASS_INTERFACE: type = 0x20; recipient = 1; break;
    case URB_FUNCTION_CLASS_ENDPOINT: type = 0x20; recipient = 2; break;
    default: type = 0x20; recipient = 3; break;  // URB_FUNCTION_CLASS_OTHER
  }
  bool in = (r.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
  PUCHAR buffer;
  if (urb->UrbHeader.Length < sizeof r || r.TransferBufferLength > 0xFFFF ||
      !BufferOf(r.TransferBuffer, r.TransferBufferMDL, r.TransferBufferLength, &buffer)) {
    return Rejected(USBD_STATUS_INVALID_PARAMETER);
  }
  auto length = static_cast<USHORT>(r.TransferBufferLength);
  SetupPacket setup{
      static_cast<UCHAR>((in ? 0x80 : 0) | type | ((recipient | r.RequestTypeReservedBits) & 0x1F)),
      r.Request, r.Value, r.Index, length};
  std::optional<ULONG> n = DeviceControl(port, setup, {buffer, length});
  if (!n) {
    r.TransferBufferLength = 0;
    return Answered(USBD_STATUS_STALL_PID);
  }
  // A short data stage ends at the status stage; the flag matters for bulk only.
  if (in) r.TransferBufferLength = *n;
  return Answered(USBD_STATUS_SUCCESS);
}

Outcome GetStatus(Port& port, PURB urb) {
  auto& r = urb->UrbControlGetStatusRequest;
  UCHAR recipient = 0;
  switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_GET_STATUS_FROM_DEVICE: recipient = 0; break;
    case URB_FUNCTION_GET_STATUS_FROM_INTERFACE: recipient = 1; break;
    case URB_FUNCTION_GET_STATUS_FROM_ENDPOINT: recipient = 2; break;
    default: recipient = 3; break;  // URB_FUNCTION_GET_STATUS_FROM_OTHER
  }
  PUCHAR buffer;
  if (urb->UrbHeader.Length < sizeof r || r.TransferBufferLength != sizeof(USHORT) ||
      !BufferOf(r.TransferBuffer, r.TransferBufferMDL, r.TransferBufferLength, &buffer)) {
    return Rejected(USBD_STATUS_INVALID_PARAMETER);
  }
  SetupPacket setup{static_cast<UCHAR>(0x80 | recipient), USB_REQUEST_GET_STATUS, 0, r.Index, 2};
  std::optional<ULONG> n = DeviceControl(port, setup, {buffer, 2});
  r.TransferBufferLength = n.value_or(0);
  return Answered(n ? USBD_STATUS_SUCCESS : USBD_STATUS_STALL_PID);
}

// The endpoint descriptors of the interface descriptor at `interface`, in
// order, within the configuration's wTotalLength.
std::vector<const USB_ENDPOINT_DESCRIPTOR*> EndpointsOf(PUSB_CONFIGURATION_DESCRIPTOR config,
                                                         PUSB_INTERFACE_DESCRIPTOR interface) {
  std::vector<const USB_ENDPOINT_DESCRIPTOR*> found;
  auto* p = reinterpret_cast<const UCHAR*>(interface);
  const UCHAR* end = reinterpret_cast<const UCHAR*>(config) + config->wTotalLength;
  for (p += p[0]; found.size() < interface->bNumEndpoints && end - p >= 2 && p[0] >= 2 &&
                  p[0] <= end - p && p[1] != USB_INTERFACE_DESCRIPTOR_TYPE;
       p += p[0]) {
    if (p[1] == USB_ENDPOINT_DESCRIPTOR_TYPE && p[0] >= sizeof(USB_ENDPOINT_DESCRIPTOR)) {
      found.push_back(reinterpret_cast<const USB_ENDPOINT_DESCRIPTOR*>(p));
    }
  }
  return found;
}

Outcome SelectConfiguration(Port& port, PURB urb) {
  auto& sc = urb->UrbSelectConfiguration;
  if (urb->UrbHeader.Length < FIELD_OFFSET(struct _URB_SELECT_CONFIGURATION, Interface)) {
    return Rejected(USBD_STATUS_INVALID_PARAMETER);
  }
  PUSB_CONFIGURATION_DESCRIPTOR config = sc.ConfigurationDescriptor;
  ULONG generation = port.generation + 1;
  std::vector<Pipe> pipes;
  UCHAR value = 0;
  if (config != nullptr) {
    if (config->bLength < sizeof *config ||
        config->bDescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE ||
        config->bNumInterfaces == 0) {
      return Rejected(USBD_STATUS_INVALID_PARAMETER);
    }
    value = config->bConfigurationValue;
    // One interface information per interface of the configuration, each
    // Length long, all inside the URB.
    auto* at = reinterpret_cast<PUCHAR>(&sc.Interface);
    PUCHAR end = reinterpret_cast<PUCHAR>(urb) + urb->UrbHeader.Length;
    constexpr size_t kHead = FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes);
    for (UCHAR i = 0; i < config->bNumInterfaces; ++i) {
      auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(at);
      if (end - at < static_cast<ptrdiff_t>(kHead) || info->Length < kHead ||
          info->Length > end - at) {
        return Rejected(USBD_STATUS_INVALID_PARAMETER);
      }
      PUSB_INTERFACE_DESCRIPTOR d = USBD_ParseConfigurationDescriptorEx(
          config, config, info->InterfaceNumber, info->AlternateSetting, -1, -1, -1);
      if (d == nullptr) return Rejected(USBD_STATUS_INTERFACE_NOT_FOUND);
      auto endpoints = EndpointsOf(config, d);
      if (endpoints.size() > (info->Length - kHead) / sizeof(USBD_PIPE_INFORMATION)) {
        return Rejected(USBD_STATUS_BUFFER_TOO_SMALL);
      }
      for (size_t k = 0; k < endpoints.size(); ++k) {
        USBD_PIPE_INFORMATION& p = info->Pipes[k];
        if (p.MaximumTransferSize != USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE &&
            p.MaximumTransferSize > kMaximumTransferSizeLimit) {
          return Rejected(USBD_STATUS_INVALID_PARAMETER);
        }
        const USB_ENDPOINT_DESCRIPTOR* e = endpoints[k];
        p.MaximumPacketSize = e->wMaxPacketSize & 0x7FF;
        p.EndpointAddress = e->bEndpointAddress;
        p.Interval = e->bInterval;
        p.PipeType = static_cast<USBD_PIPE_TYPE>(e->bmAttributes & USB_ENDPOINT_TYPE_MASK);
        if (p.MaximumTransferSize == USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE) {
          p.MaximumTransferSize = kMaximumTransferSizeLimit;
        }
        p.PipeHandle = EncodeHandle(kPipeHandleTag, port, generation, pipes.size());
        pipes.push_back(
            {p.EndpointAddress, p.MaximumPacketSize, p.PipeType, p.MaximumTransferSize, false});
      }
      info->Class = d->bInterfaceClass;
      info->SubClass = d->bInterfaceSubClass;
      info->Protocol = d->bInterfaceProtocol;
      info->NumberOfPipes = static_cast<ULONG>(endpoints.size());
      info->InterfaceHandle = EncodeHandle(kInterfaceHandleTag, port, generation, i);
      at += info->Length;
    }
  }
  if (auto fault = port.model.TakeFault(RequestKind::kSelectConfiguration)) {
    return Rejected(fault->usbd);
  }
  SetupPacket setup{0x00, USB_REQUEST_SET_CONFIGURATION, value, 0, 0};
  if (!DeviceControl(port, setup, {})) return Answered(USBD_STATUS_STALL_PID);
  KIRQL old;
  KeAcquireSpinLock(&port.lock, &old);
  port.pipes = std::move(pipes);
  port.generation = generation;
  KeReleaseSpinLock(&port.lock, old);
  // The old configuration's transfers end with it; resubmissions now meet stale handles.
  EndWaiting(port, USBD_STATUS_CANCELED);
  sc.ConfigurationHandle =
      config ? EncodeHandle(kConfigurationHandleTag, port, generation, 0) : nullptr;
  return Answered(USBD_STATUS_SUCCESS);
}

// The endpoint of a pipe handle of the current configuration, under the lock;
// `clearHalt` also ends the host side's halt of the pipe.
std::optional<UCHAR> PipeEndpoint(Port& port, USBD_PIPE_HANDLE handle, bool clearHalt) {
  KIRQL old;
  KeAcquireSpinLock(&port.lock, &old);
  Pipe* pipe = FindPipe(port, handle);
  std::optional<UCHAR> endpoint;
  if (pipe != nullptr) {
    endpoint = pipe->endpoint;
    if (clearHalt) pipe->halted = false;
  }
  KeReleaseSpinLock(&port.lock, old);
  return endpoint;
}

Outcome AbortPipe(Port& port, PURB urb) {
  if (urb->UrbHeader.Length < sizeof(struct _URB_PIPE_REQUEST)) {
    return Rejected(USBD_STATUS_INVALID_PARAMETER);
  }
  std::optional<UCHAR> endpoint = PipeEndpoint(port, urb->UrbPipeRequest.PipeHandle, false);
  if (!endpoint) return Rejected(USBD_STATUS_INVALID_PIPE_HANDLE);
  EndWaiting(port, USBD_STATUS_CANCELED, *endpoint);
  return Answered(USBD_STATUS_SUCCESS);
}

Outcome ResetPipe(Port& port, PURB urb) {
  if (urb->UrbHeader.Length < sizeof(struct _URB_PIPE_REQUEST)) {
    return Rejected(USBD_STATUS_INVALID_PARAMETER);
  }
  USHORT function = urb->UrbHeader.Function;
  std::optional<UCHAR> endpoint = PipeEndpoint(port, urb->UrbPipeRequest.PipeHandle,
                                               function != URB_FUNCTION_SYNC_CLEAR_STALL);
  if (!endpoint) return Rejected(USBD_STATUS_INVALID_PIPE_HANDLE);
  if (function != URB_FUNCTION_SYNC_RESET_PIPE) {
    SetupPacket clear{0x02, USB_REQUEST_CLEAR_FEATURE, USB_FEATURE_ENDPOINT_STALL, *endpoint, 0};
    if (!DeviceControl(port, clear, {})) return Answered(USBD_STATUS_STALL_PID);
  }
  Kick(port.bus);  // a transfer waiting behind the halt may move now
  return Answered(USBD_STATUS_SUCCESS);
}

std::optional<RequestKind> KindOf(USHORT function) {
  switch (function) {
    case URB_FUNCTION_SELECT_CONFIGURATION: return std::nullopt;  // checked after validation
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: return RequestKind::kGetDescriptor;
    case URB_FUNCTION_GET_STATUS_FROM_DEVICE:
    case URB_FUNCTION_GET_STATUS_FROM_INTERFACE:
    case URB_FUNCTION_GET_STATUS_FROM_ENDPOINT:
    case URB_FUNCTION_GET_STATUS_FROM_OTHER: return RequestKind::kGetStatus;
    case URB_FUNCTION_ABORT_PIPE: return RequestKind::kAbortPipe;
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
    case URB_FUNCTION_SYNC_RESET_PIPE:
    case URB_FUNCTION_SYNC_CLEAR_STALL: return RequestKind::kResetPipe;
    case URB_FUNCTION_VENDOR_DEVICE:
    case URB_FUNCTION_VENDOR_INTERFACE:
    case URB_FUNCTION_VENDOR_ENDPOINT:
    case URB_FUNCTION_VENDOR_OTHER:
    case URB_FUNCTION_CLASS_DEVICE:
    case URB_FUNCTION_CLASS_INTERFACE:
    case URB_FUNCTION_CLASS_ENDPOINT:
    case URB_FUNCTION_CLASS_OTHER: return RequestKind::kClassOrVendor;
    default: return std::nullopt;  // bulk: by direction, in StartBulk
  }
}

NTSTATUS SubmitUrb(Port& port, PIRP irp, PURB urb) {
  if (urb == nullptr) return Complete(irp, STATUS_INVALID_PARAMETER);
  if (port.gone) return Answer(port, irp, urb, Rejected(USBD_STATUS_DEVICE_GONE));
  USHORT function = urb->UrbHeader.Function;
  if (std::optional<RequestKind> kind = KindOf(function)) {
    if (auto fault = port.model.TakeFault(*kind)) {
      return Answer(port, irp, urb, Rejected(fault->usbd), fault->nt);
    }
  }
  Outcome outcome;
  switch (function) {
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
      return StartBulk(port, irp, urb);
    case URB_FUNCTION_SELECT_CONFIGURATION:
      outcome = SelectConfiguration(port, urb);
      break;
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
      outcome = GetDescriptor(port, urb);
      break;
    case URB_FUNCTION_GET_STATUS_FROM_DEVICE:
    case URB_FUNCTION_GET_STATUS_FROM_INTERFACE:
    case URB_FUNCTION_GET_STATUS_FROM_ENDPOINT:
    case URB_FUNCTION_GET_STATUS_FROM_OTHER:
      outcome = GetStatus(port, urb);
      break;
    case URB_FUNCTION_ABORT_PIPE:
      outcome = AbortPipe(port, urb);
      break;
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
    case URB_FUNCTION_SYNC_RESET_PIPE:
    case URB_FUNCTION_SYNC_CLEAR_STALL:
      outcome = ResetPipe(port, urb);
      break;
    default:
      if (KindOf(function) == RequestKind::kClassOrVendor) {
        outcome = ClassOrVendor(port, urb);
      } else {
        outcome = Rejected(USBD_STATUS_INVALID_URB_FUNCTION);
      }
      break;
  }
  return Answer(port, irp, urb, outcome);
}

NTSTATUS ResetPort(Port& port, PIRP irp) {
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
    wk::Violation("IOCTL_INTERNAL_USB_RESET_PORT", irp, "sent above PASSIVE_LEVEL");
  }
  if (port.gone) return Answer(port, irp, nullptr, Rejected(USBD_STATUS_DEVICE_GONE));
  if (auto fault = port.model.TakeFault(RequestKind::kResetPort)) {
    return Answer(port, irp, nullptr, Rejected(fault->usbd), fault->nt);
  }
  KIRQL old;
  KeAcquireSpinLock(&port.lock, &old);
  port.model.ResetPort();
  for (Pipe& p : port.pipes) p.halted = false;
  KeReleaseSpinLock(&port.lock, old);
  return Answer(port, irp, nullptr, Answered(USBD_STATUS_SUCCESS));
}

NTSTATUS DispatchInternalControl(PDEVICE_OBJECT pdo, PIRP irp) {
  Port& port = PortOf(pdo);
  PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
  switch (s->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_INTERNAL_USB_SUBMIT_URB:
      return SubmitUrb(port, irp, static_cast<PURB>(s->Parameters.Others.Argument1));
    case IOCTL_INTERNAL_USB_RESET_PORT:
      return ResetPort(port, irp);
    default:
      return Complete(irp, STATUS_NOT_SUPPORTED);
  }
}

// ---- Plug and Play ------------------------------------------------------------

std::wstring Format(const wchar_t* format, unsigned a, unsigned b = 0, unsigned c = 0) {
  wchar_t text[96];
  std::swprintf(text, 96, format, a, b, c);
  return text;
}

bool UsableAsInstanceId(std::u16string_view serial) {
  if (serial.empty()) return false;
  for (char16_t c : serial) {
    if (c < 0x20 || c > 0x7F || c == u',') return false;
  }
  return true;
}

// The ids a USB hub reports for a device.
std::vector<std::wstring> IdsOf(const Port& port, BUS_QUERY_ID_TYPE type) {
  const DeviceDescription& d = port.model.Description();
  const USB_DEVICE_DESCRIPTOR& dev = d.device;
  std::wstring device = Format(L"USB\\VID_%04X&PID_%04X", dev.idVendor, dev.idProduct);
  switch (type) {
    case BusQueryDeviceID:
      return {device};
    case BusQueryHardwareIDs:
      return {device + Format(L"&REV_%04X", dev.bcdDevice), device};
    case BusQueryCompatibleIDs: {
      // A class defined per interface is taken from the first interface.
      UCHAR cls = dev.bDeviceClass, sub = dev.bDeviceSubClass, prot = dev.bDeviceProtocol;
      if (cls == 0 && !d.interfaces.empty()) {
        cls = d.interfaces[0].interfaceClass;
        sub = d.interfaces[0].interfaceSubClass;
        prot = d.interfaces[0].interfaceProtocol;
      }
      std::wstring base = Format(L"USB\\Class_%02x", cls);
      std::wstring withSub = base + Format(L"&SubClass_%02x", sub);
      return {withSub + Format(L"&Prot_%02x", prot), withSub, base};
    }
    case BusQueryInstanceID:
      if (dev.iSerialNumber != 0 && UsableAsInstanceId(d.serialNumber)) {
        return {std::wstring(d.serialNumber.begin(), d.serialNumber.end())};
      }
      return {Format(L"6&%04X%04X&0&%u", dev.idVendor, dev.idProduct, port.number)};
    default:
      return {};
  }
}

// A NUL-separated list with a final NUL, from paged pool; the requester frees it.
PWCHAR MultiSz(const std::vector<std::wstring>& ids) {
  size_t chars = 1;
  for (const std::wstring& id : ids) chars += id.size() + 1;
  auto* text = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, chars * sizeof(WCHAR), kPoolTag));
  if (text == nullptr) return nullptr;
  PWCHAR at = text;
  for (const std::wstring& id : ids) {
    std::wmemcpy(at, id.c_str(), id.size() + 1);
    at += id.size() + 1;
  }
  *at = L'\0';
  return text;
}

void FillCapabilities(const Port& port, PDEVICE_CAPABILITIES caps) {
  const DeviceDescription& d = port.model.Description();
  bool wake = (d.configurationAttributes & USB_CONFIG_REMOTE_WAKEUP) != 0;
  caps->DeviceD1 = FALSE;
  caps->DeviceD2 = d.sleepState == PowerDeviceD2;
  caps->LockSupported = FALSE;
  caps->EjectSupported = FALSE;
  caps->Removable = TRUE;
  caps->DockDevice = FALSE;
  caps->UniqueID = d.device.iSerialNumber != 0 && UsableAsInstanceId(d.serialNumber);
  caps->SilentInstall = FALSE;
  caps->RawDeviceOK = FALSE;
  caps->SurpriseRemovalOK = FALSE;
  caps->WakeFromD0 = wake;
  caps->WakeFromD1 = FALSE;
  caps->WakeFromD2 = wake;
  caps->WakeFromD3 = FALSE;
  caps->Address = port.number;
  caps->UINumber = port.number;
  caps->DeviceState[PowerSystemUnspecified] = PowerDeviceUnspecified;
  caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
  caps->DeviceState[PowerSystemSleeping1] = d.sleepState;
  caps->DeviceState[PowerSystemSleeping2] = d.sleepState;
  caps->DeviceState[PowerSystemSleeping3] = d.sleepState;
  caps->DeviceState[PowerSystemHibernate] = PowerDeviceD3;
  caps->DeviceState[PowerSystemShutdown] = PowerDeviceD3;
  caps->SystemWake = wake ? PowerSystemSleeping3 : PowerSystemUnspecified;
  caps->DeviceWake = wake ? PowerDeviceD2 : PowerDeviceUnspecified;
  caps->D1Latency = caps->D2Latency = caps->D3Latency = 0;
}

PIRP TakeWaitWake(Port& port) {
  KIRQL old;
  KeAcquireSpinLock(&port.lock, &old);
  PIRP irp = port.waitWake;
  if (irp != nullptr && IoSetCancelRoutine(irp, nullptr) == nullptr) irp = nullptr;
  if (irp != nullptr) port.waitWake = nullptr;
  KeReleaseSpinLock(&port.lock, old);
  return irp;
}

void CompleteWaitWake(PIRP irp, NTSTATUS status) {
  PoStartNextPowerIrp(irp);
  Complete(irp, status);
}

NTSTATUS Remove(Port& port, PIRP irp) {
  // Whatever the drivers above left here ends now; a device still plugged
  // in keeps its PDO and may be started again.
  KIRQL old;
  KeAcquireSpinLock(&port.lock, &old);
  port.pipes.clear();
  ++port.generation;
  KeReleaseSpinLock(&port.lock, old);
  std::vector<Request> left = TakeRequests(port, [](const Request&) { return true; });
  for (Request& r : left) {
    if (r.stage == Stage::kWaiting) r.status = USBD_STATUS_CANCELED;
  }
  FinishAtDispatch(left);
  if (PIRP wake = TakeWaitWake(port)) CompleteWaitWake(wake, STATUS_NO_SUCH_DEVICE);
  Complete(irp, STATUS_SUCCESS);
  if (port.gone) {
    port.deleted = true;
    IoDeleteDevice(port.pdo);
  }
  return STATUS_SUCCESS;
}

NTSTATUS DispatchPnp(PDEVICE_OBJECT pdo, PIRP irp) {
  Port& port = PortOf(pdo);
  PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status = irp->IoStatus.Status;
  ULONG_PTR information = irp->IoStatus.Information;
  switch (s->MinorFunction) {
    case IRP_MN_QUERY_ID: {
      std::vector<std::wstring> ids = IdsOf(port, s->Parameters.QueryId.IdType);
      if (ids.empty()) break;
      PWCHAR text = MultiSz(ids);
      status = text ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
      information = reinterpret_cast<ULONG_PTR>(text);
      break;
    }
    case IRP_MN_QUERY_CAPABILITIES:
      FillCapabilities(port, s->Parameters.DeviceCapabilities.Capabilities);
      status = STATUS_SUCCESS;
      break;
    case IRP_MN_QUERY_DEVICE_RELATIONS: {
      if (s->Parameters.QueryDeviceRelations.Type != TargetDeviceRelation) break;
      auto* relations = static_cast<PDEVICE_RELATIONS>(
          ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), kPoolTag));
      if (relations == nullptr) {
        status = STATUS_INSUFFICIENT_RESOURCES;
        break;
      }
      relations->Count = 1;
      relations->Objects[0] = pdo;
      ObReferenceObject(pdo);
      status = STATUS_SUCCESS;
      information = reinterpret_cast<ULONG_PTR>(relations);
      break;
    }
    case IRP_MN_START_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
      status = STATUS_SUCCESS;
      break;
    case IRP_MN_REMOVE_DEVICE:
      return Remove(port, irp);
    default:
      break;
  }
  return Complete(irp, status, information);
}

// ---- power --------------------------------------------------------------------

VOID CancelWaitWake(PDEVICE_OBJECT pdo, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  Port& port = PortOf(pdo);
  KIRQL old;
  KeAcquireSpinLock(&port.lock, &old);
  if (port.waitWake == irp) port.waitWake = nullptr;
  KeReleaseSpinLock(&port.lock, old);
  CompleteWaitWake(irp, STATUS_CANCELLED);
}

NTSTATUS WaitWake(Port& port, PIRP irp) {
  if (!(port.model.Description().configurationAttributes & USB_CONFIG_REMOTE_WAKEUP)) {
    CompleteWaitWake(irp, STATUS_NOT_SUPPORTED);
    return STATUS_NOT_SUPPORTED;
  }
  KIRQL old;
  KeAcquireSpinLock(&port.lock, &old);
  if (port.gone || port.waitWake != nullptr) {
    NTSTATUS status = port.gone ? STATUS_NO_SUCH_DEVICE : STATUS_DEVICE_BUSY;
    KeReleaseSpinLock(&port.lock, old);
    CompleteWaitWake(irp, status);
    return status;
  }
  port.waitWake = irp;
  IoMarkIrpPending(irp);
  IoSetCancelRoutine(irp, CancelWaitWake);
  if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
    port.waitWake = nullptr;
    KeReleaseSpinLock(&port.lock, old);
    CompleteWaitWake(irp, STATUS_CANCELLED);
    return STATUS_PENDING;
  }
  KeReleaseSpinLock(&port.lock, old);
  return STATUS_PENDING;
}

NTSTATUS DispatchPower(PDEVICE_OBJECT pdo, PIRP irp) {
  Port& port = PortOf(pdo);
  PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status = irp->IoStatus.Status;
  switch (s->MinorFunction) {
    case IRP_MN_WAIT_WAKE:
      return WaitWake(port, irp);
    case IRP_MN_SET_POWER:
      if (s->Parameters.Power.Type == DevicePowerState) {
        port.model.SetPowerState(s->Parameters.Power.State.DeviceState);
        PoSetPowerState(pdo, DevicePowerState, s->Parameters.Power.State);
      }
      status = STATUS_SUCCESS;
      break;
    case IRP_MN_QUERY_POWER:
      status = STATUS_SUCCESS;
      break;
    default:
      break;
  }
  PoStartNextPowerIrp(irp);
  return Complete(irp, status);
}

NTSTATUS CompleteUnchanged(PDEVICE_OBJECT, PIRP irp) {
  NTSTATUS status = irp->IoStatus.Status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS BusEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = DispatchInternalControl;
  driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
  driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
  driver->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = CompleteUnchanged;
  driver->DriverUnload = [](PDRIVER_OBJECT) {};
  return STATUS_SUCCESS;
}

}  // namespace

// ---- the test-facing side -------------------------------------------------------

PDEVICE_OBJECT UsbDevice::Pdo() const { return port_->deleted ? nullptr : port_->pdo; }
DeviceModel& UsbDevice::Model() { return port_->model; }
ULONG UsbDevice::PortNumber() const { return port_->number; }
bool UsbDevice::Plugged() const { return !port_->gone; }
void UsbDevice::SetCompletion(Completion completion) { port_->completion = completion; }

size_t UsbDevice::PendingRequests() const {
  KIRQL old;
  KeAcquireSpinLock(&port_->lock, &old);
  size_t n = port_->requests.size();
  KeReleaseSpinLock(&port_->lock, old);
  return n;
}

bool UsbDevice::SignalWake() {
  PIRP irp = TakeWaitWake(*port_);
  if (irp == nullptr) return false;
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  CompleteWaitWake(irp, STATUS_SUCCESS);
  KeLowerIrql(old);
  return true;
}

Bus::Bus() : state_(std::make_unique<State>()) {
  KeInitializeEvent(&state_->wake, SynchronizationEvent, FALSE);
  state_->driver = wk::LoadDriver(L"usbbus", BusEntry);
  wk::AsDriver(state_->driver, [&] {
    HANDLE handle;
    PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, ServiceThread,
                         state_.get());
    ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode,
                              reinterpret_cast<PVOID*>(&state_->thread), nullptr);
    ZwClose(handle);
  });
}

Bus::~Bus() {
  state_->stopping = true;
  Kick(state_.get());
  KeWaitForSingleObject(state_->thread, Executive, KernelMode, FALSE, nullptr);
  ObDereferenceObject(state_->thread);
  if (state_->driver->DeviceObject == nullptr) wk::UnloadDriver(state_->driver);
}

PDRIVER_OBJECT Bus::Driver() const { return state_->driver; }

UsbDevice& Bus::Plug(const DeviceDescription& description, PlugOptions options) {
  auto number = static_cast<ULONG>(state_->ports.size() + 1);
  state_->ports.push_back(
      std::make_unique<Port>(state_.get(), number, description, options.completion));
  Port& port = *state_->ports.back();
  wk::AsDriver(state_->driver, [&] {
    NTSTATUS status = IoCreateDevice(state_->driver, sizeof(PdoExtension), nullptr,
                                     FILE_DEVICE_UNKNOWN, FILE_AUTOGENERATED_DEVICE_NAME, FALSE,
                                     &port.pdo);
    if (!NT_SUCCESS(status)) host::Fail("winsim usb: no PDO for a plugged device");
    static_cast<PdoExtension*>(port.pdo->DeviceExtension)->port = &port;
    port.pdo->Flags |= DO_BUS_ENUMERATED_DEVICE | DO_POWER_PAGABLE;
    port.pdo->Flags &= ~DO_DEVICE_INITIALIZING;
  });
  Bus::State* bus = state_.get();
  port.model.SetChangeHook([bus] { Kick(bus); });
  if (options.reportArrival) wk::ReportDeviceArrival(port.pdo);
  return port.handle;
}

void Bus::Unplug(UsbDevice& device, bool reportMissing) {
  Port& port = *device.port_;
  if (port.gone) return;
  port.gone = true;
  std::vector<Request> left = TakeRequests(port, [](const Request&) { return true; });
  for (Request& r : left) {
    if (r.stage == Stage::kWaiting) r.status = USBD_STATUS_DEVICE_GONE;
  }
  FinishAtDispatch(left);
  if (PIRP wake = TakeWaitWake(port)) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    CompleteWaitWake(wake, STATUS_NO_SUCH_DEVICE);
    KeLowerIrql(old);
  }
  if (reportMissing && !port.deleted) wk::ReportDeviceMissing(port.pdo);
}

}  // namespace winsim::usb
