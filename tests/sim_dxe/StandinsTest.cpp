// The HOB list builder and the stand-ins for other modules' DXE interfaces,
// used through the boot services as a driver uses them.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "sim/dxe/DxeCore.h"
#include "sim/dxe/HobListBuilder.h"
#include "sim/dxe/S3SaveTable.h"
#include "sim/dxe/SetupStandins.h"
#include "sim/dxe/SmmStandins.h"

namespace {

constexpr EFI_GUID kName = {
    0xD97D161A, 0x16CD, 0x4ADA, {0xB9, 0xF6, 0xAE, 0xC3, 0xF9, 0xFC, 0xCC, 0x2C}};

class StandinsTest : public ::testing::Test {
 protected:
  template <typename T>
  T *Locate(const EFI_GUID &guid) {
    VOID *interface = nullptr;
    EXPECT_EQ(bs->LocateProtocol(&guid, nullptr, &interface), EFI_SUCCESS);
    return static_cast<T *>(interface);
  }

  sim::SimClock clock;
  sim::DxeCore core{clock};
  EFI_BOOT_SERVICES *bs = core.BootServices();
};

TEST_F(StandinsTest, HobListBuilderLaysOutRecords) {
  const UINT8 data[5] = {1, 2, 3, 4, 5};
  const UINT8 payload[8] = {9, 9, 9, 9, 9, 9, 9, 9};
  std::vector<uint8_t> bytes = sim::HobListBuilder()
                                   .AddHob(0x0001, payload, sizeof(payload))
                                   .AddGuidHob(kName, data, sizeof(data))
                                   .AddEnd()
                                   .Bytes();
  core.SetHobList(bytes);
  ASSERT_EQ(bytes.size(), 16u + 32u + 8u);

  // Walk it as a driver does: by HobLength up to the end HOB.
  const auto *hob = static_cast<const UINT8 *>(core.HobList());
  std::vector<UINT16> types;
  for (;;) {
    const auto *header = reinterpret_cast<const EFI_HOB_GENERIC_HEADER *>(hob);
    types.push_back(header->HobType);
    if (header->HobType == EFI_HOB_TYPE_END_OF_HOB_LIST) {
      break;
    }
    if (header->HobType == EFI_HOB_TYPE_GUID_EXTENSION) {
      const auto *guid_hob = reinterpret_cast<const EFI_HOB_GUID_TYPE *>(hob);
      EXPECT_TRUE(GuidEquals(&guid_hob->Name, &kName));
      EXPECT_EQ(header->HobLength, 32u);  // 24 + 5, rounded up to 8
      EXPECT_EQ(std::memcmp(hob + sizeof(EFI_HOB_GUID_TYPE), data, sizeof(data)), 0);
    }
    hob += header->HobLength;
  }
  EXPECT_EQ(types, (std::vector<UINT16>{0x0001, EFI_HOB_TYPE_GUID_EXTENSION, 0xFFFF}));

  // Malformed lists: a forced length and raw bytes.
  std::vector<uint8_t> odd = sim::HobListBuilder()
                                 .AddGuidHobWithLength(kName, data, sizeof(data), 0)
                                 .AddRaw("\x04\x00", 2)
                                 .Bytes();
  ASSERT_EQ(odd.size(), 34u);
  EXPECT_EQ(odd[2] | (odd[3] << 8), 0);
  EXPECT_EQ(odd[32], 0x04);
}

TEST_F(StandinsTest, SetupInterfacesRecordTriggerAndSuppressions) {
  sim::SetupItemSuppress suppress;
  suppress.Install(core);
  auto *protocol = Locate<SETUP_ITEM_SUPPRESS_PROTOCOL>(gSetupItemSuppressProtocolGuid);
  ASSERT_EQ(protocol, suppress.Protocol());
  EXPECT_EQ(protocol->SuppressItem("Setup", 1819), EFI_SUCCESS);
  suppress.SetStatus(EFI_NOT_FOUND);
  EXPECT_EQ(protocol->SuppressItem("Other", 7), EFI_NOT_FOUND);
  EXPECT_EQ(protocol->SuppressItem("Setup", 1821), EFI_NOT_FOUND);
  EXPECT_EQ(suppress.Items(), (std::vector<uint16_t>{1819, 1821}));
  ASSERT_EQ(suppress.Calls().size(), 3u);
  EXPECT_EQ(suppress.Calls()[1].form_set, "Other");

  // Installing the trigger is what a registered notification sees.
  EFI_EVENT event = nullptr;
  static int notified;
  notified = 0;
  ASSERT_EQ(bs->CreateEvent(
                EVT_NOTIFY_SIGNAL, TPL_CALLBACK, [](EFI_EVENT, VOID *) EFIAPI { notified++; },
                nullptr, &event),
            EFI_SUCCESS);
  VOID *registration = nullptr;
  bs->RegisterProtocolNotify(&gSetupSuppressTriggerProtocolGuid, event, &registration);
  sim::SetupSuppressTrigger trigger;
  EXPECT_NE(trigger.Install(core), nullptr);
  EXPECT_EQ(notified, 1);
  EXPECT_EQ(trigger.Installations().size(), 1u);
}

TEST_F(StandinsTest, SmmInterfacesRecordLockAndMessages) {
  VOID *interface = &core;
  EXPECT_EQ(bs->LocateProtocol(&gEfiDxeSmmReadyToLockProtocolGuid, nullptr, &interface),
            EFI_NOT_FOUND);
  sim::SmmReadyToLock lock;
  lock.Install(core);
  EXPECT_EQ(bs->LocateProtocol(&gEfiDxeSmmReadyToLockProtocolGuid, nullptr, &interface),
            EFI_SUCCESS);

  sim::SmmCommunication smm;
  smm.Install(core);
  auto *protocol = Locate<EFI_SMM_COMMUNICATION_PROTOCOL>(gEfiSmmCommunicationProtocolGuid);
  ASSERT_EQ(protocol, smm.Protocol());
  UINT8 message[40];
  for (UINT8 i = 0; i < sizeof(message); i++) {
    message[i] = i;
  }
  UINT8 seen_last = 0;
  smm.SetHandler([&](void *buffer, UINTN *) {
    seen_last = static_cast<UINT8 *>(buffer)[39];
    return EFI_SUCCESS;
  });
  UINTN size = sizeof(message);
  EXPECT_EQ(protocol->Communicate(protocol, message, &size), EFI_SUCCESS);
  message[0] = 0xEE;  // the record keeps the message as it was passed
  ASSERT_EQ(smm.Calls().size(), 1u);
  EXPECT_EQ(smm.Calls()[0].size, 40u);
  EXPECT_EQ(smm.Calls()[0].buffer, message);
  EXPECT_EQ(smm.Calls()[0].contents[0], 0);
  EXPECT_EQ(smm.Calls()[0].contents[39], 39);
  EXPECT_EQ(seen_last, 39);
}

TEST_F(StandinsTest, S3SaveTableIsPoolBlockTheDriverFrees) {
  sim::S3SaveTableProvider provider(core);
  auto *table = static_cast<UINT8 *>(provider.Create());
  UINT32 signature;
  UINT64 boundary_offset, end_offset;
  UINT32 marker;
  std::memcpy(&signature, table, 4);
  std::memcpy(&boundary_offset, table + 32, 8);
  std::memcpy(&end_offset, table + 40, 8);
  std::memcpy(&marker, table + boundary_offset, 4);
  EXPECT_EQ(std::memcmp(&signature, "AS3T", 4), 0);
  EXPECT_EQ(marker, 0x01558844u);
  EXPECT_EQ(provider.EndMark(), 0u);

  // The driver marks the end and frees the table; the mark stays visible.
  UINT16 end_mark = 0xFFFF;
  std::memcpy(table + end_offset, &end_mark, 2);
  EXPECT_EQ(bs->FreePool(table), EFI_SUCCESS);
  EXPECT_FALSE(provider.IsLive());
  EXPECT_EQ(provider.EndMark(), 0xFFFFu);
  EXPECT_TRUE(core.Errors().empty());

  // A table made wrong on purpose: offsets outside it write nothing there.
  sim::S3SaveTableProvider broken(core);
  broken.Create({.size = 64, .signature = 0x12345678, .end_offset = 200, .boundary_offset = 62});
  EXPECT_EQ(broken.EndMark(), std::nullopt);
}

}  // namespace
