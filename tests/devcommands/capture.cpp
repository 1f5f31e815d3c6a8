#include "tests/devcommands/capture.h"

#include <climits>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace devcommands::testing {
namespace {

void UseUtf8() {
  static const bool set = setlocale(LC_CTYPE, "C.UTF-8") != nullptr;
  if (!set) throw std::runtime_error("the C.UTF-8 locale is missing");
}

std::string ReadAll(FILE* file) {
  fflush(file);
  rewind(file);
  std::string text;
  char chunk[4096];
  for (size_t n; (n = fread(chunk, 1, sizeof(chunk), file)) > 0;) text.append(chunk, n);
  return text;
}

// Puts the process's streams back however the body ends.
struct Swap {
  FILE* savedOut = stdout;
  FILE* savedErr = stderr;
  Swap(FILE* out, FILE* err) {
    fflush(stdout);
    fflush(stderr);
    stdout = out;
    stderr = err;
  }
  ~Swap() {
    stdout = savedOut;
    stderr = savedErr;
  }
};

}  // namespace

Captured CaptureOutput(const std::function<void()>& body) {
  UseUtf8();
  FILE* out = tmpfile();
  FILE* err = tmpfile();
  if (out == nullptr || err == nullptr) throw std::runtime_error("no temporary file");
  {
    Swap swap(out, err);
    body();
  }
  Captured captured{ReadAll(out), ReadAll(err)};
  fclose(out);
  fclose(err);
  return captured;
}

std::string Utf8(const std::wstring& text) {
  UseUtf8();
  std::string bytes;
  char unit[MB_LEN_MAX];
  mbstate_t state{};
  for (wchar_t c : text) {
    size_t n = wcrtomb(unit, c, &state);
    if (n == static_cast<size_t>(-1)) throw std::runtime_error("not encodable");
    bytes.append(unit, n);
  }
  return bytes;
}

}  // namespace devcommands::testing
