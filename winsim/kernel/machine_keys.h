// Where the machine keeps what Plug and Play and device installation know
// about devices, as absolute registry paths (\Registry\Machine\...).
#pragma once
#include <string>

namespace winsim::registry {

inline const std::wstring kEnumKey = L"\\Registry\\Machine\\System\\CurrentControlSet\\Enum";
inline const std::wstring kClassKey =
    L"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class";
// The current hardware profile's copy of the Enum tree (per-profile flags).
inline const std::wstring kProfileEnumKey =
    L"\\Registry\\Machine\\System\\CurrentControlSet\\Hardware Profiles\\Current\\System\\"
    L"CurrentControlSet\\Enum";

// <enumerator>\<device>\<instance>, or any part of it.
inline std::wstring EnumKeyOf(const std::wstring& instanceId) {
  return kEnumKey + L"\\" + instanceId;
}
inline std::wstring ProfileEnumKeyOf(const std::wstring& instanceId) {
  return kProfileEnumKey + L"\\" + instanceId;
}
// A class GUID's key, or a driver key named as an instance's Driver value
// names it ("{guid}\NNNN").
inline std::wstring ClassKeyOf(const std::wstring& subkey) { return kClassKey + L"\\" + subkey; }

}  // namespace winsim::registry
