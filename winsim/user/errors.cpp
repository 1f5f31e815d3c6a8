// The last error of each thread and the translation from NTSTATUS.
#include "winsim/user/errors.h"

#include "winsim/kernel/fileio.h"
#include "winsim/kernel/wdk/ntstatus.h"

namespace winsim::user {
namespace {

// Documented codes the toolchain's SDK has no name for.
constexpr DWORD kErrorNoSuchDevice = 433;
constexpr DWORD kErrorObjectNameExists = 698;

struct Mapping {
  NTSTATUS status;
  DWORD error;
};

// The documented RtlNtStatusToDosError results for the statuses the kernel,
// the drivers and the I/O manager produce. Checked against Microsoft's table
// "Mapping NT Status Error Codes to Win32 Error Codes" (KB113996) and, where
// later Windows versions changed an entry (STATUS_NO_SUCH_DEVICE,
// STATUS_DEVICE_NOT_CONNECTED), against Wine 8.0's RtlNtStatusToDosError.
constexpr Mapping kMappings[] = {
    {STATUS_SUCCESS, ERROR_SUCCESS},
    {STATUS_TIMEOUT, ERROR_TIMEOUT},
    {STATUS_PENDING, ERROR_IO_PENDING},
    {STATUS_OBJECT_NAME_EXISTS, kErrorObjectNameExists},
    {STATUS_SERIAL_MORE_WRITES, ERROR_MORE_WRITES},
    {STATUS_SERIAL_COUNTER_TIMEOUT, ERROR_COUNTER_TIMEOUT},
    {STATUS_BUFFER_OVERFLOW, ERROR_MORE_DATA},
    {STATUS_DEVICE_BUSY, ERROR_BUSY},
    {STATUS_NO_MORE_ENTRIES, ERROR_NO_MORE_ITEMS},
    {STATUS_UNSUCCESSFUL, ERROR_GEN_FAILURE},
    {STATUS_NOT_IMPLEMENTED, ERROR_INVALID_FUNCTION},
    {STATUS_INVALID_INFO_CLASS, ERROR_INVALID_PARAMETER},
    {STATUS_INFO_LENGTH_MISMATCH, ERROR_BAD_LENGTH},
    {STATUS_ACCESS_VIOLATION, ERROR_NOACCESS},
    {STATUS_INVALID_HANDLE, ERROR_INVALID_HANDLE},
    {STATUS_INVALID_PARAMETER, ERROR_INVALID_PARAMETER},
    {STATUS_NO_SUCH_DEVICE, kErrorNoSuchDevice},
    {STATUS_INVALID_DEVICE_REQUEST, ERROR_INVALID_FUNCTION},
    {STATUS_END_OF_FILE, ERROR_HANDLE_EOF},
    {STATUS_MORE_PROCESSING_REQUIRED, ERROR_MORE_DATA},
    {STATUS_NO_MEMORY, ERROR_NOT_ENOUGH_MEMORY},
    {STATUS_ACCESS_DENIED, ERROR_ACCESS_DENIED},
    {STATUS_BUFFER_TOO_SMALL, ERROR_INSUFFICIENT_BUFFER},
    {STATUS_OBJECT_TYPE_MISMATCH, ERROR_INVALID_HANDLE},
    {STATUS_OBJECT_NAME_INVALID, ERROR_INVALID_NAME},
    {STATUS_OBJECT_NAME_NOT_FOUND, ERROR_FILE_NOT_FOUND},
    {STATUS_OBJECT_NAME_COLLISION, ERROR_ALREADY_EXISTS},
    {STATUS_PORT_DISCONNECTED, ERROR_INVALID_HANDLE},
    {STATUS_OBJECT_PATH_NOT_FOUND, ERROR_PATH_NOT_FOUND},
    {STATUS_DATA_OVERRUN, ERROR_IO_DEVICE},
    {STATUS_SHARING_VIOLATION, ERROR_SHARING_VIOLATION},
    {STATUS_DELETE_PENDING, ERROR_ACCESS_DENIED},
    {STATUS_INSUFFICIENT_RESOURCES, ERROR_NO_SYSTEM_RESOURCES},
    {STATUS_DEVICE_DATA_ERROR, ERROR_CRC},
    {STATUS_DEVICE_NOT_CONNECTED, ERROR_DEVICE_NOT_CONNECTED},
    {STATUS_DEVICE_NOT_READY, ERROR_NOT_READY},
    {STATUS_IO_TIMEOUT, ERROR_SEM_TIMEOUT},
    {STATUS_NOT_SUPPORTED, ERROR_NOT_SUPPORTED},
    {STATUS_DEVICE_DOES_NOT_EXIST, ERROR_DEV_NOT_EXIST},
    {STATUS_INTERNAL_ERROR, ERROR_INTERNAL_ERROR},
    {STATUS_INVALID_USER_BUFFER, ERROR_INVALID_USER_BUFFER},
    {STATUS_INVALID_PARAMETER_1, ERROR_INVALID_PARAMETER},
    {STATUS_INVALID_PARAMETER_2, ERROR_INVALID_PARAMETER},
    {STATUS_CANCELLED, ERROR_OPERATION_ABORTED},
    {STATUS_FILE_CLOSED, ERROR_INVALID_HANDLE},
    {STATUS_SERIAL_NO_DEVICE_INITED, ERROR_SERIAL_NO_DEVICE},
    {STATUS_INVALID_DEVICE_STATE, ERROR_BAD_COMMAND},
    {STATUS_IO_DEVICE_ERROR, ERROR_IO_DEVICE},
    {STATUS_INVALID_BUFFER_SIZE, ERROR_INVALID_USER_BUFFER},
    {STATUS_NOT_FOUND, ERROR_NOT_FOUND},
    {STATUS_RETRY, ERROR_RETRY},
    {STATUS_DEVICE_REMOVED, ERROR_DEVICE_REMOVED},
    {STATUS_POWER_STATE_INVALID, ERROR_NOT_READY},
};

constexpr ULONG kCustomerBit = 0x20000000;
constexpr ULONG kFacilityMask = 0x0FFF0000;
constexpr ULONG kFacilityNtWin32 = 0x00070000;

}  // namespace

DWORD Win32ErrorFromStatus(NTSTATUS status) {
  for (const Mapping& m : kMappings) {
    if (m.status == status) return m.error;
  }
  auto bits = static_cast<ULONG>(status);
  // A status made from a system error code (NTSTATUS_FROM_WIN32) carries it
  // in its low word; customer-defined statuses pass through unchanged.
  if (NT_ERROR(status) || NT_WARNING(status)) {
    if ((bits & kFacilityMask) == kFacilityNtWin32) return bits & 0xFFFF;
  }
  if (bits & kCustomerBit) return bits;
  return ERROR_MR_MID_NOT_FOUND;
}

void SetLastErrorFromStatus(NTSTATUS status) { SetLastError(Win32ErrorFromStatus(status)); }

}  // namespace winsim::user

DWORD GetLastError(void) { return winsim::kernel::CurrentThreadEnvironment()->lastError; }

void SetLastError(DWORD dwErrCode) {
  winsim::kernel::CurrentThreadEnvironment()->lastError = dwErrCode;
}
