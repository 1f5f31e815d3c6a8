// USBD_ParseConfigurationDescriptorEx and USBD_CreateConfigurationRequestEx
// over the device tables, well formed and malformed, read as a driver holds
// them.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "platform/kernel.h"
#include "winsim/kernel/sim.h"
#include "winsim/usb/device_model.h"

namespace {

namespace wk = winsim::kernel;
using winsim::usb::ConfigurationBytes;
using winsim::usb::DeviceDescription;

// The configuration as a driver holds it after reading wTotalLength bytes:
// exactly max(9, wTotalLength) bytes, so the sanitizer sees any read past
// them; what the device sent first, uninitialised pool after.
std::vector<UCHAR> AsHeld(const DeviceDescription& d) {
  std::vector<UCHAR> sent = ConfigurationBytes(d);
  size_t total = static_cast<size_t>(sent[2] | sent[3] << 8);
  std::vector<UCHAR> held(std::max<size_t>(9, total), 0xCD);
  std::copy_n(sent.begin(), std::min(sent.size(), held.size()), held.begin());
  return held;
}

PUSB_CONFIGURATION_DESCRIPTOR Config(std::vector<UCHAR>& held) {
  return reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(held.data());
}

// The search a driver runs: bNumInterfaces times, each from one interface
// descriptor past the previous hit, any interface.
std::vector<PUSB_INTERFACE_DESCRIPTOR> FindInterfaces(PUSB_CONFIGURATION_DESCRIPTOR config) {
  std::vector<PUSB_INTERFACE_DESCRIPTOR> found;
  PVOID start = config;
  for (int i = 0; i < config->bNumInterfaces; ++i) {
    PUSB_INTERFACE_DESCRIPTOR d =
        USBD_ParseConfigurationDescriptorEx(config, start, -1, -1, -1, -1, -1);
    if (d == nullptr) break;
    found.push_back(d);
    start = reinterpret_cast<PUCHAR>(d) + sizeof(USB_INTERFACE_DESCRIPTOR);
  }
  return found;
}

std::vector<USBD_INTERFACE_LIST_ENTRY> ListOf(const std::vector<PUSB_INTERFACE_DESCRIPTOR>& ds) {
  std::vector<USBD_INTERFACE_LIST_ENTRY> list(ds.size() + 1);
  for (size_t i = 0; i < ds.size(); ++i) list[i].InterfaceDescriptor = ds[i];
  return list;
}

NTSTATUS CallerEntry(PDRIVER_OBJECT, PUNICODE_STRING) { return STATUS_SUCCESS; }

// Runs `body` as code of a driver "caller", then unloads it: the verifier
// fails the run if the body left a pool block of that driver behind.
void AsCaller(const std::function<void(PDRIVER_OBJECT)>& body) {
  wk::Run(0, [&] {
    PDRIVER_OBJECT caller = wk::LoadDriver(L"caller", CallerEntry);
    wk::AsDriver(caller, [&] { body(caller); });
    wk::UnloadDriver(caller);
  });
}

TEST(UsbdParse, FindsEveryInterfaceInOrder) {
  struct Row {
    const DeviceDescription* device;
    std::vector<UCHAR> numbers;
  } rows[] = {
      {&winsim::usb::kCardReader, {0}},
      {&winsim::usb::kCardReaderInBeforeOut, {0}},
      {&winsim::usb::kCardReaderTwoInterfaces, {0, 1}},
      {&winsim::usb::kCardReaderLongConfiguration, {0}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.device->name);
    std::vector<UCHAR> held = AsHeld(*row.device);
    std::vector<UCHAR> numbers;
    for (auto* d : FindInterfaces(Config(held))) numbers.push_back(d->bInterfaceNumber);
    EXPECT_EQ(numbers, row.numbers);
  }
}

TEST(UsbdParse, MatchesEveryGivenFieldAndIgnoresMinusOne) {
  struct Row {
    const char* what;
    LONG number, alternate, cls, subClass, protocol;
    int expected;  // interface number, -1 for none
  } rows[] = {
      {"anything", -1, -1, -1, -1, -1, 0},
      {"interface 1", 1, -1, -1, -1, -1, 1},
      {"class and subclass of interface 1", -1, -1, 0xFF, 1, -1, 1},
      {"protocol shared by both: the first", -1, -1, -1, -1, 0, 0},
      {"interface 0, alternate setting 1", 0, 1, -1, -1, -1, -1},
      {"interface 2", 2, -1, -1, -1, -1, -1},
      {"class of no interface", -1, -1, 0x02, -1, -1, -1},
  };
  std::vector<UCHAR> held = AsHeld(winsim::usb::kCardReaderTwoInterfaces);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    PUSB_INTERFACE_DESCRIPTOR d = USBD_ParseConfigurationDescriptorEx(
        Config(held), Config(held), row.number, row.alternate, row.cls, row.subClass,
        row.protocol);
    EXPECT_EQ(d ? d->bInterfaceNumber : -1, row.expected);
  }
}

TEST(UsbdParse, RefusesAStartOutsideTheDescriptor) {
  std::vector<UCHAR> held = AsHeld(winsim::usb::kCardReader);
  std::vector<UCHAR> elsewhere = held;
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(Config(held), elsewhere.data(), -1, -1, -1, -1,
                                                -1),
            nullptr);
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(Config(held), held.data() + held.size(), -1, -1,
                                                -1, -1, -1),
            nullptr);
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(nullptr, held.data(), -1, -1, -1, -1, -1),
            nullptr);
}

TEST(UsbdCreate, DescribesEveryListedInterfaceInOnePoolBlockOfTheCaller) {
  struct Row {
    const DeviceDescription* device;
    std::vector<ULONG> pipes;  // per interface
  } rows[] = {
      {&winsim::usb::kCardReader, {2}},
      {&winsim::usb::kCardReaderTwoInterfaces, {2, 2}},
      {&winsim::usb::kCardReaderLongConfiguration, {2}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.device->name);
    AsCaller([&](PDRIVER_OBJECT caller) {
      std::vector<UCHAR> held = AsHeld(*row.device);
      auto found = FindInterfaces(Config(held));
      auto list = ListOf(found);
      PURB urb = USBD_CreateConfigurationRequestEx(Config(held), list.data());
      ASSERT_NE(urb, nullptr);
      EXPECT_EQ(wk::CountsOf(caller).poolBlocks, 1);
      ULONG totalPipes = 0;
      for (ULONG n : row.pipes) totalPipes += n;
      EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_SELECT_CONFIGURATION);
      EXPECT_EQ(urb->UrbHeader.Length,
                GET_SELECT_CONFIGURATION_REQUEST_SIZE(row.pipes.size(), totalPipes));
      EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationDescriptor, Config(held));
      auto* info = &urb->UrbSelectConfiguration.Interface;
      for (size_t i = 0; i < row.pipes.size(); ++i) {
        EXPECT_EQ(list[i].Interface, info);
        EXPECT_EQ(info->InterfaceNumber, found[i]->bInterfaceNumber);
        EXPECT_EQ(info->AlternateSetting, found[i]->bAlternateSetting);
        EXPECT_EQ(info->NumberOfPipes, row.pipes[i]);
        EXPECT_EQ(info->Length, GET_USBD_INTERFACE_SIZE(row.pipes[i]));
        for (ULONG k = 0; k < info->NumberOfPipes; ++k) {
          EXPECT_EQ(info->Pipes[k].MaximumTransferSize, USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE);
        }
        info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<PUCHAR>(info) +
                                                             info->Length);
      }
      EXPECT_EQ(list[row.pipes.size()].Interface, nullptr);
      ExFreePool(urb);
    });
  }
}

TEST(UsbdCreate, RefusesWhatItCannotDescribe) {
  AsCaller([](PDRIVER_OBJECT caller) {
    std::vector<UCHAR> held = AsHeld(winsim::usb::kCardReader);
    std::vector<UCHAR> other = held;
    auto* inOther = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(other.data() + 9);
    auto* atEndpoint = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(held.data() + 18);
    struct Row {
      const char* what;
      PUSB_INTERFACE_DESCRIPTOR descriptor;
    } rows[] = {
        {"empty list", nullptr},
        {"interface of another configuration", inOther},
        {"an endpoint descriptor", atEndpoint},
    };
    for (const Row& row : rows) {
      SCOPED_TRACE(row.what);
      USBD_INTERFACE_LIST_ENTRY list[2] = {{row.descriptor, nullptr}, {nullptr, nullptr}};
      EXPECT_EQ(USBD_CreateConfigurationRequestEx(Config(held), list), nullptr);
      EXPECT_EQ(list[0].Interface, nullptr);
    }
    EXPECT_EQ(wk::CountsOf(caller).poolBlocks, 0);
  });
}

// Every malformed device, as a driver would meet it: what the search finds
// and what the request it builds says stay inside wTotalLength.
TEST(UsbdMalformed, SearchAndRequestStayInsideWhatTheDeviceSent) {
  struct Expect {
    size_t interfaces;
    ULONG pipes;  // of the first interface
  };
  const std::map<std::string, Expect> expected = {
      {"truncated in an endpoint descriptor", {1, 1}},
      {"endpoint descriptor with bLength 0", {1, 0}},
      {"endpoint descriptor running past wTotalLength", {1, 1}},
      {"wTotalLength far beyond the bytes sent", {1, 2}},
      {"interface claims three endpoints, two follow", {1, 2}},
      {"configuration claims two interfaces, one follows", {1, 2}},
      {"interface descriptor 7 bytes long", {0, 0}},
      {"wTotalLength shorter than the header", {0, 0}},
  };
  ASSERT_EQ(winsim::usb::MalformedDevices().size(), expected.size());
  for (const auto& malformed : winsim::usb::MalformedDevices()) {
    SCOPED_TRACE(malformed.what);
    auto want = expected.find(malformed.what);
    ASSERT_NE(want, expected.end()) << "no expectation for this case";
    AsCaller([&](PDRIVER_OBJECT) {
      std::vector<UCHAR> held = AsHeld(*malformed.device);
      PUSB_CONFIGURATION_DESCRIPTOR config = Config(held);
      const UCHAR* end = held.data() + std::min<size_t>(held.size(), config->wTotalLength);
      auto found = FindInterfaces(config);
      ASSERT_EQ(found.size(), want->second.interfaces);
      for (auto* d : found) {
        EXPECT_GE(reinterpret_cast<const UCHAR*>(d), held.data());
        EXPECT_LE(reinterpret_cast<const UCHAR*>(d) + d->bLength, end);
      }
      if (found.empty()) return;
      auto list = ListOf(found);
      PURB urb = USBD_CreateConfigurationRequestEx(config, list.data());
      ASSERT_NE(urb, nullptr);
      EXPECT_EQ(list[0].Interface->NumberOfPipes, want->second.pipes);
      EXPECT_EQ(list[0].Interface->Length, GET_USBD_INTERFACE_SIZE(want->second.pipes));
      ExFreePool(urb);
    });
  }
}

}  // namespace
