// CLSID text as COM reads it: the braced form only, a null string as
// CLSID_NULL, and the output cleared when the text is refused.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/win32.h"
#include "winsim/kernel/registry_store.h"
#include "winsim/kernel/sim.h"

namespace {

constexpr GUID kPorts = {
    0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
constexpr GUID kNull = {};

template <typename Body>
void OnMachine(Body body) {
  winsim::kernel::Run(0, [&] {
    body();
    winsim::kernel::CheckCleanMachine();
  });
}

TEST(CLSIDFromString, ReadsOnlyTheBracedForm) {
  struct Row {
    const wchar_t* text;
    HRESULT result;
    GUID clsid;
  };
  const Row rows[] = {
      {L"{4D36E978-E325-11CE-BFC1-08002BE10318}", NOERROR, kPorts},
      {L"{4d36e978-e325-11ce-bfc1-08002be10318}", NOERROR, kPorts},
      {nullptr, NOERROR, kNull},
      {L"", CO_E_CLASSSTRING, kNull},
      {L"4D36E978-E325-11CE-BFC1-08002BE10318", CO_E_CLASSSTRING, kNull},
      {L"{4D36E978-E325-11CE-BFC1-08002BE10318", CO_E_CLASSSTRING, kNull},
      {L"{4D36E978-E325-11CE-BFC1-08002BE10318} ", CO_E_CLASSSTRING, kNull},
      {L"{4D36E978-E325-11CE-BFC1-08002BE1031G}", CO_E_CLASSSTRING, kNull},
      {L"{4D36E978E-325-11CE-BFC1-08002BE10318}", CO_E_CLASSSTRING, kNull},
      {L"(4D36E978-E325-11CE-BFC1-08002BE10318)", CO_E_CLASSSTRING, kNull},
      {L"Korv.CardReader", CO_E_CLASSSTRING, kNull},  // no such ProgID
  };
  OnMachine([&] {
    for (const Row& r : rows) {
      SCOPED_TRACE(testing::PrintToString(std::wstring(r.text ? r.text : L"(null)")));
      CLSID clsid;
      std::memset(&clsid, 0xAB, sizeof clsid);
      EXPECT_EQ(CLSIDFromString(r.text, &clsid), r.result);
      EXPECT_EQ(std::memcmp(&clsid, &r.clsid, sizeof clsid), 0);
    }
    EXPECT_EQ(CLSIDFromString(L"{4D36E978-E325-11CE-BFC1-08002BE10318}", nullptr), E_INVALIDARG);
  });
}

TEST(CLSIDFromStringDeathTest, ARegisteredProgIdStopsTheRun) {
  EXPECT_DEATH(OnMachine([] {
                 winsim::registry::SetString(
                     L"\\Registry\\Machine\\Software\\Classes\\Korv.CardReader\\CLSID", L"",
                     L"{4D36E978-E325-11CE-BFC1-08002BE10318}");
                 CLSID clsid;
                 CLSIDFromString(L"Korv.CardReader", &clsid);
               }),
               "ProgIDs are not modelled");
}

}  // namespace
