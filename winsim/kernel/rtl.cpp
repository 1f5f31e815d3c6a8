#include "winsim/kernel/wdk/rtl.h"

#include <cwchar>

namespace {

constexpr ULONG kWchar = sizeof(WCHAR);
constexpr ULONG kMaxCounted = 0xFFFF;

// Byte counts are kept to whole characters: an odd MaximumLength must not
// let a 2- or 4-byte character straddle the end of the buffer.
ULONG WholeChars(ULONG bytes) { return bytes - bytes % kWchar; }

void Terminate(PUNICODE_STRING s) {
  if (s->Buffer != NULL && ULONG(s->Length) + kWchar <= s->MaximumLength) {
    memset(reinterpret_cast<PUCHAR>(s->Buffer) + s->Length, 0, kWchar);
  }
}

// Appends bytes that may lie inside the destination's own buffer.
NTSTATUS AppendBytes(PUNICODE_STRING dst, const WCHAR *src, ULONG bytes) {
  if (ULONG(dst->Length) + bytes > dst->MaximumLength) return STATUS_BUFFER_TOO_SMALL;
  if (bytes != 0) {
    memmove(reinterpret_cast<PUCHAR>(dst->Buffer) + dst->Length, src, bytes);
    dst->Length = USHORT(dst->Length + bytes);
  }
  Terminate(dst);
  return STATUS_SUCCESS;
}

bool IsSpace(WCHAR c) { return c == L' ' || (c >= L'\t' && c <= L'\r'); }

// Value of c as a digit in base, or -1.
int DigitValue(WCHAR c, ULONG base) {
  int v = -1;
  if (c >= L'0' && c <= L'9')
    v = c - L'0';
  else if (c >= L'a' && c <= L'f')
    v = c - L'a' + 10;
  else if (c >= L'A' && c <= L'F')
    v = c - L'A' + 10;
  return v >= 0 && ULONG(v) < base ? v : -1;
}

}  // namespace

SIZE_T RtlCompareMemory(const VOID *Source1, const VOID *Source2, SIZE_T Length) {
  auto a = static_cast<const UCHAR *>(Source1);
  auto b = static_cast<const UCHAR *>(Source2);
  SIZE_T i = 0;
  while (i < Length && a[i] == b[i]) ++i;
  return i;
}

VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
  if (SourceString == NULL) {
    DestinationString->Length = DestinationString->MaximumLength = 0;
    DestinationString->Buffer = NULL;
    return;
  }
  // Longest string whose terminator still fits in a USHORT MaximumLength.
  const ULONG maxChars = kMaxCounted / kWchar - 1;
  ULONG n = 0;
  while (n < maxChars && SourceString[n] != L'\0') ++n;
  DestinationString->Length = USHORT(n * kWchar);
  DestinationString->MaximumLength = USHORT((n + 1) * kWchar);
  DestinationString->Buffer = const_cast<PWSTR>(SourceString);
}

VOID RtlInitAnsiString(PANSI_STRING DestinationString, PCSTR SourceString) {
  if (SourceString == NULL) {
    DestinationString->Length = DestinationString->MaximumLength = 0;
    DestinationString->Buffer = NULL;
    return;
  }
  ULONG n = 0;
  while (n < kMaxCounted - 1 && SourceString[n] != '\0') ++n;
  DestinationString->Length = USHORT(n);
  DestinationString->MaximumLength = USHORT(n + 1);
  DestinationString->Buffer = const_cast<PCHAR>(SourceString);
}

VOID RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) {
  if (SourceString == NULL) {
    DestinationString->Length = 0;
    return;
  }
  ULONG n = SourceString->Length;
  if (n > DestinationString->MaximumLength) n = DestinationString->MaximumLength;
  n = WholeChars(n);
  if (n != 0) memmove(DestinationString->Buffer, SourceString->Buffer, n);
  DestinationString->Length = USHORT(n);
  Terminate(DestinationString);
}

NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source) {
  return AppendBytes(Destination, Source->Buffer, WholeChars(Source->Length));
}

NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source) {
  if (Source == NULL) return STATUS_SUCCESS;
  SIZE_T n = wcslen(Source);
  if (n > kMaxCounted / kWchar) return STATUS_BUFFER_TOO_SMALL;
  return AppendBytes(Destination, Source, ULONG(n) * kWchar);
}

WCHAR RtlUpcaseUnicodeChar(WCHAR SourceCharacter) {
  const ULONG c = ULONG(SourceCharacter);
  ULONG u = c;
  if (c >= 'a' && c <= 'z') {
    u = c - 0x20;
  } else if (c < 0xE0) {
    // Latin-1 letters below U+00E0 (micro sign, ordinals) have no Latin-1 capital.
  } else if (c <= 0xFE) {
    if (c != 0xF7) u = c - 0x20;  // U+00F7 is the division sign
  } else if (c == 0xFF) {
    u = 0x178;
  } else if ((c >= 0x100 && c <= 0x12F) || (c >= 0x132 && c <= 0x137) ||
             (c >= 0x14A && c <= 0x177)) {
    if (c & 1) u = c - 1;  // pairs with the capital on the even code point
  } else if ((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E)) {
    if (!(c & 1)) u = c - 1;  // pairs with the capital on the odd code point
  } else if (c >= 0x3B1 && c <= 0x3CB && c != 0x3C2) {
    u = c - 0x20;  // Greek small letters
  } else if (c >= 0x430 && c <= 0x44F) {
    u = c - 0x20;  // Cyrillic small letters
  } else if (c >= 0x450 && c <= 0x45F) {
    u = c - 0x50;
  }
  return WCHAR(u);
}

LONG RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                             BOOLEAN CaseInSensitive) {
  const ULONG n1 = String1->Length / kWchar, n2 = String2->Length / kWchar;
  const ULONG n = n1 < n2 ? n1 : n2;
  for (ULONG i = 0; i < n; ++i) {
    WCHAR a = String1->Buffer[i], b = String2->Buffer[i];
    if (CaseInSensitive) {
      a = RtlUpcaseUnicodeChar(a);
      b = RtlUpcaseUnicodeChar(b);
    }
    if (a != b) return ULONG(a) < ULONG(b) ? -1 : 1;
  }
  if (String1->Length == String2->Length) return 0;
  return String1->Length < String2->Length ? -1 : 1;
}

BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                              BOOLEAN CaseInSensitive) {
  if (String1->Length != String2->Length) return FALSE;
  return RtlCompareUnicodeString(String1, String2, CaseInSensitive) == 0;
}

NTSTATUS RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String) {
  if (Base == 0) Base = 10;
  if (Base != 2 && Base != 8 && Base != 10 && Base != 16) return STATUS_INVALID_PARAMETER;

  WCHAR digits[32];
  ULONG count = 0;
  do {
    const ULONG d = Value % Base;
    digits[count++] = WCHAR(d < 10 ? L'0' + d : L'A' + d - 10);
    Value /= Base;
  } while (Value != 0);

  // The result is documented as null-terminated, so the terminator must fit too.
  if ((count + 1) * kWchar > String->MaximumLength) return STATUS_BUFFER_OVERFLOW;
  for (ULONG i = 0; i < count; ++i) String->Buffer[i] = digits[count - 1 - i];
  String->Buffer[count] = L'\0';
  String->Length = USHORT(count * kWchar);
  return STATUS_SUCCESS;
}

NTSTATUS RtlUnicodeStringToInteger(PCUNICODE_STRING String, ULONG Base, PULONG Value) {
  if (Base != 0 && Base != 2 && Base != 8 && Base != 10 && Base != 16) {
    return STATUS_INVALID_PARAMETER;
  }
  const ULONG n = String->Length / kWchar;
  if (n == 0) return STATUS_INVALID_PARAMETER;
  if (Value == NULL) return STATUS_ACCESS_VIOLATION;

  const WCHAR *s = String->Buffer;
  ULONG i = 0;
  while (i < n && IsSpace(s[i])) ++i;

  bool negative = false;
  if (i < n && (s[i] == L'-' || s[i] == L'+')) {
    negative = s[i] == L'-';
    ++i;
  }

  if (Base == 0) {
    Base = 10;
    if (i + 1 < n && s[i] == L'0') {
      const WCHAR p = s[i + 1];
      const ULONG prefixed = p == L'x' ? 16 : p == L'o' ? 8 : p == L'b' ? 2 : 0;
      if (prefixed != 0) {
        Base = prefixed;
        i += 2;
      }
    }
  }

  // No overflow status is documented, so the total wraps modulo 2^32.
  ULONG total = 0;
  for (; i < n; ++i) {
    const int d = DigitValue(s[i], Base);
    if (d < 0) break;
    total = total * Base + ULONG(d);
  }
  *Value = negative ? 0u - total : total;
  return STATUS_SUCCESS;
}
