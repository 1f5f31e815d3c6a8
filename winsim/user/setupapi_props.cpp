// Device registry properties: the values of the device's Enum key under the
// names and types Windows stores them with, and the enumerator name taken
// from the instance id.
#include <cstring>
#include <optional>

#include "winsim/user/devicedb.h"
#include "winsim/user/setupapi_internal.h"

namespace winsim::user::setupapi {
namespace {

namespace db = winsim::user::devicedb;

struct PropertyValue {
  ULONG type;
  std::vector<uint8_t> data;
};

struct Stored {
  DWORD property;
  const wchar_t* valueName;
};

const Stored kStored[] = {
    {SPDRP_DEVICEDESC, L"DeviceDesc"},
    {SPDRP_HARDWAREID, L"HardwareID"},
    {SPDRP_COMPATIBLEIDS, L"CompatibleIDs"},
    {SPDRP_SERVICE, L"Service"},
    {SPDRP_CLASS, L"Class"},
    {SPDRP_CLASSGUID, L"ClassGUID"},
    {SPDRP_DRIVER, L"Driver"},
    {SPDRP_CONFIGFLAGS, L"ConfigFlags"},
    {SPDRP_MFG, L"Mfg"},
    {SPDRP_FRIENDLYNAME, L"FriendlyName"},
    {SPDRP_LOCATION_INFORMATION, L"LocationInformation"},
    {SPDRP_CAPABILITIES, L"Capabilities"},
    {SPDRP_UI_NUMBER, L"UINumber"},
    {SPDRP_UPPERFILTERS, L"UpperFilters"},
    {SPDRP_LOWERFILTERS, L"LowerFilters"},
    {SPDRP_UI_NUMBER_DESC_FORMAT, L"UINumberDescFormat"},
};

bool IsPropertyCode(DWORD property) {
  return property < SPDRP_MAXIMUM_PROPERTY && property != SPDRP_UNUSED0 &&
         property != SPDRP_UNUSED1 && property != SPDRP_UNUSED2;
}

PropertyValue Text(const std::wstring& text) {
  PropertyValue v{1 /* REG_SZ */, std::vector<uint8_t>((text.size() + 1) * sizeof(WCHAR))};
  std::memcpy(v.data.data(), text.c_str(), v.data.size());
  return v;
}

// Properties this machine models and the device has; others read as absent.
std::optional<PropertyValue> Read(const std::wstring& id, DWORD property) {
  if (property == SPDRP_ENUMERATOR_NAME) return Text(id.substr(0, id.find(L'\\')));
  registry::Key* key = db::EnumKey(id);
  for (const Stored& s : kStored) {
    if (s.property != property || key == nullptr) continue;
    const registry::Value* v = registry::GetValue(key, s.valueName);
    if (v == nullptr) return std::nullopt;
    return PropertyValue{v->type, v->data};
  }
  return std::nullopt;
}

}  // namespace
}  // namespace winsim::user::setupapi

using namespace winsim::user::setupapi;

BOOL SetupDiGetDeviceRegistryPropertyW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                       DWORD Property, PDWORD PropertyRegDataType,
                                       PBYTE PropertyBuffer, DWORD PropertyBufferSize,
                                       PDWORD RequiredSize) {
  const std::wstring* id = DeviceOf(DeviceInfoSet, DeviceInfoData);
  if (id == nullptr) return FALSE;
  if (!IsPropertyCode(Property)) return Fail(ERROR_INVALID_REG_PROPERTY);
  if (PropertyBuffer == nullptr && PropertyBufferSize != 0) return Fail(ERROR_INVALID_PARAMETER);
  std::optional<PropertyValue> value = Read(*id, Property);
  if (!value) return Fail(ERROR_INVALID_DATA);
  auto size = static_cast<DWORD>(value->data.size());
  if (PropertyRegDataType != nullptr) *PropertyRegDataType = value->type;
  if (RequiredSize != nullptr) *RequiredSize = size;
  if (PropertyBufferSize < size) return Fail(ERROR_INSUFFICIENT_BUFFER);
  if (size != 0) std::memcpy(PropertyBuffer, value->data.data(), size);
  return TRUE;
}
