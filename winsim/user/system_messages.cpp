// Texts as Windows shows them for these codes.
#include "winsim/user/system_messages.h"

#include "winsim/user/errors.h"

namespace winsim::user::messages {
namespace {

struct Text {
  DWORD id;
  const WCHAR* text;
};

constexpr Text kTexts[] = {
    {ERROR_SUCCESS, L"The operation completed successfully.\r\n"},
    {ERROR_INVALID_FUNCTION, L"Incorrect function.\r\n"},
    {ERROR_FILE_NOT_FOUND, L"The system cannot find the file specified.\r\n"},
    {ERROR_PATH_NOT_FOUND, L"The system cannot find the path specified.\r\n"},
    {ERROR_ACCESS_DENIED, L"Access is denied.\r\n"},
    {ERROR_INVALID_HANDLE, L"The handle is invalid.\r\n"},
    {ERROR_NOT_ENOUGH_MEMORY,
     L"Not enough memory resources are available to process this command.\r\n"},
    {ERROR_NOT_READY, L"The device is not ready.\r\n"},
    {ERROR_GEN_FAILURE, L"A device attached to the system is not functioning.\r\n"},
    {ERROR_SHARING_VIOLATION,
     L"The process cannot access the file because it is being used by another process.\r\n"},
    {ERROR_NOT_SUPPORTED, L"The request is not supported.\r\n"},
    {ERROR_FILE_EXISTS, L"The file exists.\r\n"},
    {ERROR_INVALID_PARAMETER, L"The parameter is incorrect.\r\n"},
    {ERROR_INSUFFICIENT_BUFFER, L"The data area passed to a system call is too small.\r\n"},
    {ERROR_INVALID_NAME, L"The filename, directory name, or volume label syntax is incorrect.\r\n"},
    {ERROR_ALREADY_EXISTS, L"Cannot create a file when that file already exists.\r\n"},
    {ERROR_MORE_DATA, L"More data is available.\r\n"},
    {ERROR_NO_MORE_ITEMS, L"No more data is available.\r\n"},
    {ERROR_OPERATION_ABORTED,
     L"The I/O operation has been aborted because of either a thread exit or an application "
     L"request.\r\n"},
    {ERROR_IO_PENDING, L"Overlapped I/O operation is in progress.\r\n"},
    {ERROR_DEVICE_NOT_CONNECTED, L"The device is not connected.\r\n"},
    {ERROR_NOT_FOUND, L"Element not found.\r\n"},
    {ERROR_TIMEOUT, L"This operation returned because the timeout period expired.\r\n"},
};

}  // namespace

const WCHAR* SystemMessage(DWORD id) {
  for (const Text& t : kTexts) {
    if (t.id == id) return t.text;
  }
  return nullptr;
}

}  // namespace winsim::user::messages
