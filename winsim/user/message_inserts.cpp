// Message definitions are parsed into pieces first, so that the arguments of
// a va_list can be read in order with the type each insert's format gives
// (an int and a pointer take different va_arg calls), whatever order the
// inserts appear in.
#include "winsim/user/message_inserts.h"

#include <cstdio>
#include <map>
#include <vector>

#include "winsim/user/errors.h"
#include "winsim/user/resources.h"

namespace winsim::user::messages {
namespace {

enum class Kind { kPointer, kInt32, kInt64 };

struct Spec {
  std::string flags;
  int width = -1;  // -2: from the next argument
  int precision = -1;
  std::string length;  // "", "h", "l", "w", "ll", "I64", "I32"
  char conversion = 's';
};

struct Piece {
  std::wstring literal;
  int index = 0;  // insert number, 0 for a literal
  Spec spec;
  std::wstring raw;   // the insert as written
  bool stop = false;  // %0
};

bool ParseSpec(std::wstring_view text, Spec* spec) {
  size_t i = 0;
  while (i < text.size() && std::wstring_view(L"-+ #0").find(text[i]) != std::wstring_view::npos) {
    spec->flags += static_cast<char>(text[i++]);
  }
  auto number = [&](int* out) {
    if (i < text.size() && text[i] == L'*') {
      *out = -2;
      ++i;
      return;
    }
    if (i < text.size() && text[i] >= L'0' && text[i] <= L'9') *out = 0;
    while (i < text.size() && text[i] >= L'0' && text[i] <= L'9')
      *out = *out * 10 + (text[i++] - L'0');
  };
  number(&spec->width);
  if (i < text.size() && text[i] == L'.') {
    ++i;
    spec->precision = 0;
    number(&spec->precision);
  }
  for (const char* l : {"I64", "I32", "ll", "h", "l", "w"}) {
    std::wstring wl(l, l + std::char_traits<char>::length(l));
    if (text.substr(i, wl.size()) == wl) {
      spec->length = l;
      i += wl.size();
      break;
    }
  }
  if (i + 1 != text.size()) return false;
  spec->conversion = static_cast<char>(text[i]);
  return std::string_view("sScCdiuxXop").find(spec->conversion) != std::string_view::npos;
}

Kind KindOf(const Spec& spec) {
  switch (spec.conversion) {
    case 's':
    case 'S':
    case 'p':
      return Kind::kPointer;
    default:
      return spec.length == "ll" || spec.length == "I64" ? Kind::kInt64 : Kind::kInt32;
  }
}

bool ParseInsert(std::wstring_view p, size_t* i, Piece* piece) {
  size_t j = *i + 1;
  int index = p[j++] - L'0';
  if (j < p.size() && p[j] >= L'0' && p[j] <= L'9') index = index * 10 + (p[j++] - L'0');
  piece->index = index;
  if (j < p.size() && p[j] == L'!') {
    size_t close = p.find(L'!', j + 1);
    if (close == std::wstring_view::npos ||
        !ParseSpec(p.substr(j + 1, close - j - 1), &piece->spec)) {
      return false;
    }
    j = close + 1;
  }
  piece->raw = std::wstring(p.substr(*i, j - *i));
  *i = j;
  return true;
}

bool Parse(std::wstring_view p, DWORD maxWidth, std::vector<Piece>* pieces) {
  auto literal = [&](std::wstring_view text) {
    if (pieces->empty() || pieces->back().index != 0 || pieces->back().stop) pieces->push_back({});
    pieces->back().literal += text;
  };
  for (size_t i = 0; i < p.size();) {
    wchar_t c = p[i];
    if (c == L'%' && i + 1 < p.size()) {
      wchar_t d = p[i + 1];
      if (d >= L'1' && d <= L'9') {
        Piece insert;
        if (!ParseInsert(p, &i, &insert)) return false;
        pieces->push_back(std::move(insert));
        continue;
      }
      if (d == L'0') {
        pieces->push_back({});
        pieces->back().stop = true;
        return true;
      }
      literal(d == L'n' ? L"\r\n" : d == L'r' ? L"\r" : d == L't' ? L"\t" : std::wstring(1, d));
      i += 2;
      continue;
    }
    if (maxWidth == FORMAT_MESSAGE_MAX_WIDTH_MASK && (c == L'\r' || c == L'\n')) {
      literal(L" ");
      i += (c == L'\r' && i + 1 < p.size() && p[i + 1] == L'\n') ? 2 : 1;
      continue;
    }
    literal(std::wstring_view(&p[i], 1));
    ++i;
  }
  return true;
}

using Values = std::map<int, ULONG64>;

// The type each argument number is read as; an argument no insert names is
// read as pointer-sized, as the platform does.
// Where an insert's width, precision and value come from: a "*" takes an
// argument of its own, in printf's order, from the insert's number on.
struct Slots {
  int width = 0, precision = 0, value;
};

Slots SlotsOf(const Piece& p) {
  Slots s{0, 0, p.index};
  if (p.spec.width == -2) s.width = s.value++;
  if (p.spec.precision == -2) s.precision = s.value++;
  return s;
}

// The type each argument number is read as; an argument no insert names is
// read as pointer-sized, as the platform does.
std::map<int, Kind> Kinds(const std::vector<Piece>& pieces) {
  std::map<int, Kind> kinds;
  for (const Piece& p : pieces) {
    if (p.index == 0) continue;
    Slots s = SlotsOf(p);
    if (s.width != 0) kinds.emplace(s.width, Kind::kInt32);
    if (s.precision != 0) kinds.emplace(s.precision, Kind::kInt32);
    kinds.emplace(s.value, KindOf(p.spec));
  }
  return kinds;
}

Values Fetch(const std::map<int, Kind>& kinds, const Inserts& in) {
  Values values;
  int last = kinds.empty() ? 0 : kinds.rbegin()->first;
  for (int n = 1; n <= last; ++n) {
    auto it = kinds.find(n);
    Kind kind = it == kinds.end() ? Kind::kPointer : it->second;
    if (in.array != nullptr) {
      values[n] = in.array[n - 1];
    } else if (kind == Kind::kInt32) {
      values[n] = static_cast<ULONG64>(static_cast<LONG64>(va_arg(*in.list, int)));
    } else if (kind == Kind::kInt64) {
      values[n] = static_cast<ULONG64>(va_arg(*in.list, long long));
    } else {
      values[n] = reinterpret_cast<ULONG_PTR>(va_arg(*in.list, void*));
    }
  }
  return values;
}

std::wstring Pad(std::wstring text, const Spec& spec, int width, int precision) {
  if (precision >= 0 && text.size() > static_cast<size_t>(precision)) text.resize(precision);
  if (width > 0 && text.size() < static_cast<size_t>(width)) {
    std::wstring fill(width - text.size(), L' ');
    text = spec.flags.find('-') != std::string::npos ? text + fill : fill + text;
  }
  return text;
}

bool WideString(const Spec& spec) {
  if (spec.length == "h") return false;
  if (spec.length == "l" || spec.length == "w") return true;
  return spec.conversion == 's' || spec.conversion == 'c';
}

std::wstring RenderNumber(const Spec& spec, ULONG64 value, int width, int precision) {
  std::string format = "%" + spec.flags;
  if (width >= 0) format += std::to_string(width);
  if (precision >= 0) format += "." + std::to_string(precision);
  char buffer[96];
  if (spec.conversion == 'p') {
    std::snprintf(buffer, sizeof buffer, "%016llX", static_cast<unsigned long long>(value));
  } else if (spec.conversion == 'd' || spec.conversion == 'i') {
    long long v = KindOf(spec) == Kind::kInt64 ? static_cast<long long>(value)
                                               : static_cast<int>(static_cast<ULONG>(value));
    std::snprintf(buffer, sizeof buffer, (format + "lld").c_str(), v);
  } else {
    unsigned long long v = KindOf(spec) == Kind::kInt64 ? value : static_cast<ULONG>(value);
    std::snprintf(buffer, sizeof buffer, (format + "ll" + spec.conversion).c_str(), v);
  }
  return std::wstring(buffer, buffer + std::char_traits<char>::length(buffer));
}

std::wstring Render(const Piece& p, const Values& values) {
  Slots s = SlotsOf(p);
  int width = s.width != 0 ? static_cast<int>(values.at(s.width)) : p.spec.width;
  int precision = s.precision != 0 ? static_cast<int>(values.at(s.precision)) : p.spec.precision;
  ULONG64 value = values.at(s.value);
  switch (p.spec.conversion) {
    case 's':
    case 'S': {
      std::wstring text;
      if (value == 0) {
        text = L"(null)";
      } else if (WideString(p.spec)) {
        text = reinterpret_cast<const WCHAR*>(value);
      } else {
        for (const char* s = reinterpret_cast<const char*>(value); *s; ++s) {
          text += static_cast<wchar_t>(static_cast<unsigned char>(*s));
        }
      }
      return Pad(text, p.spec, width, precision);
    }
    case 'c':
    case 'C': {
      wchar_t c = WideString(p.spec) ? static_cast<wchar_t>(value)
                                     : static_cast<wchar_t>(static_cast<unsigned char>(value));
      return Pad(std::wstring(1, c), p.spec, width, -1);
    }
    default:
      return RenderNumber(p.spec, value, width, precision);
  }
}

}  // namespace

DWORD Expand(std::wstring_view pattern, DWORD maxWidth, const Inserts& inserts, std::wstring* out) {
  std::vector<Piece> pieces;
  if (!Parse(pattern, maxWidth, &pieces)) return ERROR_INVALID_PARAMETER;
  std::map<int, Kind> kinds = Kinds(pieces);
  Values values;
  if (!inserts.ignore && !kinds.empty()) {
    if (inserts.list == nullptr && inserts.array == nullptr) return ERROR_INVALID_PARAMETER;
    values = Fetch(kinds, inserts);
  }
  out->clear();
  for (const Piece& p : pieces) {
    if (p.stop) break;
    if (p.index == 0) {
      *out += p.literal;
    } else {
      *out += inserts.ignore ? p.raw : Render(p, values);
    }
  }
  return ERROR_SUCCESS;
}

}  // namespace winsim::user::messages
