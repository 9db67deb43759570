// The simulated configuration database: the interface tables at this build's
// width, the record, fault injection, and the hand-over from the PEI process
// to the DXE process through the serialized form.
#include <gtest/gtest.h>

#include <map>

#include <nlohmann/json.hpp>

#include "include/PcdTokens.h"
#include "sim/core/EfiText.h"
#include "sim/pcd/PcdDatabase.h"

namespace {

using sim::PcdAccess;
using sim::PcdDatabase;
using sim::StatusTo64;

// What a PEI phase of one boot hands to DXE: identical whichever width
// wrote it, so the 32-bit PEI process and the 64-bit DXE process agree.
constexpr const char *kPeiHandOver = R"({
  "format": "boardhook-pcd/1",
  "tokens": [
    {"token": 4, "size": 1, "value": 12},
    {"token": 501, "size": 8, "value": 255},
    {"token": 585, "size": 8, "value": 18446744073709551615}
  ],
  "accesses": [
    {"phase": "PEI", "operation": "Set8", "token": 4, "value": 12, "status": 0, "valid": true},
    {"phase": "PEI", "operation": "Set64", "token": 501, "value": 255, "status": 0, "valid": true},
    {"phase": "PEI", "operation": "Set8", "token": 9, "value": 1,
     "status": 9223372036854775822, "valid": false}
  ]
})";

TEST(PcdDatabase, PeiWritesSerializeToTheWidthIndependentForm) {
  PcdDatabase Store;
  Store.Declare(PCD_TOKEN_BOARD_TYPE, 1);
  Store.Declare(PCD_TOKEN_SETUP_OPTION, 8);
  Store.Declare(PCD_TOKEN_SMM_COMMUNICATION_BUFFER, 8, ~uint64_t{0});
  PCD_PPI *Ppi = Store.Ppi();
  EXPECT_EQ(Ppi->Set8(PCD_TOKEN_BOARD_TYPE, 12), EFI_SUCCESS);
  EXPECT_EQ(Ppi->Set64(PCD_TOKEN_SETUP_OPTION, 0xFF), EFI_SUCCESS);
  EXPECT_EQ(Ppi->Set8(9, 1), EFI_NOT_FOUND);  // not a token of this board

  EXPECT_EQ(nlohmann::json::parse(Store.Serialize()), nlohmann::json::parse(kPeiHandOver));
}

TEST(PcdDatabase, DxeReadsWhatPeiSetInTheSameBoot) {
  PcdDatabase Store;
  Store.SetPhase("DXE");
  std::string Error;
  ASSERT_TRUE(Store.Restore(kPeiHandOver, &Error)) << Error;

  PCD_PROTOCOL *Protocol = Store.Protocol();
  EXPECT_EQ(Protocol->Get8(PCD_TOKEN_BOARD_TYPE), 12);
  EXPECT_EQ(Protocol->Get64(PCD_TOKEN_SETUP_OPTION), 0xFFu);
  EXPECT_EQ(Protocol->Get64(PCD_TOKEN_SMM_COMMUNICATION_BUFFER), ~uint64_t{0});
  // A DXE set is seen by every later get.
  EXPECT_EQ(Protocol->Set64(PCD_TOKEN_SETUP_OPTION, 0x1234), EFI_SUCCESS);
  EXPECT_EQ(Protocol->Get64(PCD_TOKEN_SETUP_OPTION), 0x1234u);

  // The PEI record comes along; DXE's calls follow it under their phase.
  ASSERT_EQ(Store.Accesses().size(), 3u + 5u);
  EXPECT_EQ(Store.Accesses()[2].status, StatusTo64(EFI_NOT_FOUND));
  EXPECT_EQ(Store.Accesses()[2].phase, "PEI");
  EXPECT_EQ(Store.Accesses()[3], (PcdAccess{"DXE", "Get8", PCD_TOKEN_BOARD_TYPE, 12, 0, true}));
  EXPECT_EQ(Store.SetsOf(PCD_TOKEN_SETUP_OPTION).size(), 2u);

  // And the whole state survives another hand-over.
  const std::string Again = Store.Serialize();
  PcdDatabase Next;
  ASSERT_TRUE(Next.Restore(Again));
  EXPECT_EQ(Next.Value(PCD_TOKEN_SETUP_OPTION), 0x1234u);
  EXPECT_EQ(Next.Accesses(), Store.Accesses());
}

TEST(PcdDatabase, RestoreRefusesMalformedTextAndKeepsTheStore) {
  const char *kBad[] = {
      "",
      "[]",
      R"({"format": "other", "tokens": [], "accesses": []})",
      R"({"format": "boardhook-pcd/1", "accesses": []})",
      R"({"format": "boardhook-pcd/1", "tokens": [{"token": 4, "size": 3, "value": 1}],
          "accesses": []})",
      R"({"format": "boardhook-pcd/1", "tokens": [{"token": -4, "size": 1, "value": 1}],
          "accesses": []})",
      R"({"format": "boardhook-pcd/1", "tokens": [], "accesses": [{"phase": "PEI"}]})",
  };
  for (const char *Text : kBad) {
    PcdDatabase Store;
    Store.Declare(PCD_TOKEN_BOARD_TYPE, 1, 7);
    std::string Error;
    EXPECT_FALSE(Store.Restore(Text, &Error)) << Text;
    EXPECT_FALSE(Error.empty());
    EXPECT_EQ(Store.Value(PCD_TOKEN_BOARD_TYPE), 7u) << Text;
  }
}

// The token table holds every token of the system with its width, once,
// and the store declares exactly those.
TEST(PcdDatabase, SystemTokensComeFromTheTokenTable) {
  const std::map<uint64_t, unsigned> expected = {{1, 4},   {3, 1},   {4, 1},   {442, 1}, {443, 1},
                                                 {445, 1}, {446, 1}, {447, 1}, {449, 4}, {450, 4},
                                                 {451, 4}, {501, 8}, {584, 8}, {585, 8}};
  std::map<uint64_t, unsigned> table;
  for (const PCD_TOKEN_INFO &Info : PCD_TOKENS) {
    EXPECT_TRUE(table.emplace(Info.Number, Info.Size).second) << "twice: " << Info.Number;
    EXPECT_NE(std::string(Info.Name), "") << Info.Number;
  }
  EXPECT_EQ(table, expected);

  PcdDatabase Store;
  Store.DeclareSystemTokens();
  UINTN Token = 0;
  std::map<uint64_t, unsigned> declared;
  while (Store.Ppi()->GetNextToken(NULL, &Token) == EFI_SUCCESS) {
    declared[Token] = *Store.Size(Token);
    EXPECT_EQ(Store.Value(Token), 0u);
  }
  EXPECT_EQ(declared, expected);
  EXPECT_EQ(FindPcdToken(2), nullptr);
  for (uint64_t Port = 0; Port < ROOT_PORT_COUNT; Port++) {
    EXPECT_EQ(FindPcdToken(PCD_ROOT_PORT_LOCATION_TOKENS[Port])->Size, 4u);
  }
}

TEST(PcdDatabase, AccessesAtAnotherWidthAreRefusedOrMarked) {
  PcdDatabase Store;
  Store.DeclareSystemTokens();
  Store.Declare(PCD_TOKEN_ROOT_PORT1_LOCATION, 4, 0x11223344);
  PCD_PROTOCOL *Protocol = Store.Protocol();

  EXPECT_EQ(Protocol->Set8(PCD_TOKEN_SETUP_OPTION, 0xFF), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Store.Value(PCD_TOKEN_SETUP_OPTION), 0u);
  EXPECT_EQ(Protocol->Get8(PCD_TOKEN_ROOT_PORT1_LOCATION), 0x44);
  EXPECT_EQ(Protocol->Get32(PCD_TOKEN_ROOT_PORT1_LOCATION), 0x11223344u);

  const std::vector<PcdAccess> Invalid = Store.InvalidAccesses();
  ASSERT_EQ(Invalid.size(), 2u);
  EXPECT_EQ(Invalid[0].operation, "Set8");
  EXPECT_EQ(Invalid[1].operation, "Get8");
}

// A token taken out of the database: as one never declared, and it stays
// out of the hand-over.
TEST(PcdDatabase, UndeclaredTokenIsNotFound) {
  PcdDatabase Store;
  Store.DeclareSystemTokens();
  Store.Undeclare(PCD_TOKEN_BOARD_TYPE);
  PCD_PPI *Ppi = Store.Ppi();
  EXPECT_EQ(Ppi->Set8(PCD_TOKEN_BOARD_TYPE, 12), EFI_NOT_FOUND);
  EXPECT_EQ(Ppi->Get8(PCD_TOKEN_BOARD_TYPE), 0);
  EXPECT_FALSE(Store.Value(PCD_TOKEN_BOARD_TYPE).has_value());
  EXPECT_EQ(Store.InvalidAccesses().size(), 2u);
  PcdDatabase Dxe;
  ASSERT_TRUE(Dxe.Restore(Store.Serialize()));
  EXPECT_FALSE(Dxe.Size(PCD_TOKEN_BOARD_TYPE).has_value());
  EXPECT_EQ(Dxe.Size(PCD_TOKEN_FUNCTION_SELECT), 1u);
}

TEST(PcdDatabase, SetFaultsFailTheChosenCallAndLeaveTheValue) {
  PcdDatabase Store;
  Store.DeclareSystemTokens();
  PCD_PPI *Ppi = Store.Ppi();
  Store.SetFaults().FailNth(2, EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(Ppi->Set8(PCD_TOKEN_BOARD_TYPE, 1), EFI_SUCCESS);
  EXPECT_EQ(Ppi->Set8(PCD_TOKEN_BOARD_TYPE, 2), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(Ppi->Set8(PCD_TOKEN_BOARD_TYPE, 3), EFI_SUCCESS);
  const std::vector<PcdAccess> Sets = Store.SetsOf(PCD_TOKEN_BOARD_TYPE);
  ASSERT_EQ(Sets.size(), 3u);
  EXPECT_EQ(Sets[1].status, StatusTo64(EFI_OUT_OF_RESOURCES));
  EXPECT_TRUE(Sets[1].valid);

  Store.SetFaults().FailEvery(EFI_DEVICE_ERROR);
  EXPECT_EQ(Ppi->Set8(PCD_TOKEN_BOARD_TYPE, 4), EFI_DEVICE_ERROR);
  EXPECT_EQ(Ppi->Set64(PCD_TOKEN_SETUP_OPTION, 4), EFI_DEVICE_ERROR);
  EXPECT_EQ(Store.Value(PCD_TOKEN_BOARD_TYPE), 3u);

  // Several planned failures hold together, each counted from its arming.
  Store.SetFaults().Clear();
  Store.SetFaults().FailNth(1, EFI_ACCESS_DENIED);
  Store.SetFaults().FailNth(3, EFI_NOT_READY);
  EXPECT_EQ(Ppi->Set8(PCD_TOKEN_BOARD_TYPE, 5), EFI_ACCESS_DENIED);
  EXPECT_EQ(Ppi->Set8(PCD_TOKEN_BOARD_TYPE, 6), EFI_SUCCESS);
  EXPECT_EQ(Ppi->Set8(PCD_TOKEN_BOARD_TYPE, 7), EFI_NOT_READY);
  EXPECT_EQ(Store.Value(PCD_TOKEN_BOARD_TYPE), 6u);
}

TEST(PcdDatabase, MembersThisSystemDoesNotUseAnswerSanely) {
  PcdDatabase Store;
  constexpr UINTN kNoSuchToken = 2;  // not a token of this system
  Store.Declare(PCD_TOKEN_FUNCTION_SELECT, 1, 1);
  Store.Declare(PCD_TOKEN_ROOT_PORT1_LOCATION, 4);
  PCD_PPI *Ppi = Store.Ppi();

  // The token walk visits the declared tokens in order, then ends.
  UINTN Token = 0;
  EXPECT_EQ(Ppi->GetNextToken(NULL, &Token), EFI_SUCCESS);
  EXPECT_EQ(Token, PCD_TOKEN_ROOT_PORT1_LOCATION);
  EXPECT_EQ(Ppi->GetNextToken(NULL, &Token), EFI_SUCCESS);
  EXPECT_EQ(Token, PCD_TOKEN_FUNCTION_SELECT);
  EXPECT_EQ(Ppi->GetNextToken(NULL, &Token), EFI_NOT_FOUND);
  EXPECT_EQ(Token, 0u);
  const EFI_GUID *Space = &gPcdPpiGuid;
  EXPECT_EQ(Ppi->GetNextTokenSpace(&Space), EFI_NOT_FOUND);
  EXPECT_EQ(Space, nullptr);

  EXPECT_EQ(Ppi->GetSize(PCD_TOKEN_ROOT_PORT1_LOCATION), 4u);
  EXPECT_EQ(Ppi->GetSize(kNoSuchToken), 0u);
  EXPECT_EQ(Ppi->GetBool(PCD_TOKEN_FUNCTION_SELECT), TRUE);
  EXPECT_EQ(Ppi->GetPtr(PCD_TOKEN_FUNCTION_SELECT), nullptr);
  EXPECT_EQ(Ppi->Get8Ex(&gPcdPpiGuid, PCD_TOKEN_FUNCTION_SELECT), 0);  // no token spaces here
  EXPECT_EQ(Ppi->Set8Ex(&gPcdPpiGuid, PCD_TOKEN_FUNCTION_SELECT, 5), EFI_NOT_FOUND);
  EXPECT_EQ(Ppi->CallbackOnSet(NULL, PCD_TOKEN_FUNCTION_SELECT, NULL), EFI_UNSUPPORTED);
  Ppi->SetSku(0);
  EXPECT_EQ(Store.Value(PCD_TOKEN_FUNCTION_SELECT), 1u);
}

TEST(PcdDatabase, TheNewestStoreIsActiveUntilItGoes) {
  PcdDatabase First;
  First.Declare(PCD_TOKEN_BOARD_TYPE, 1, 1);
  {
    PcdDatabase Second;
    Second.Declare(PCD_TOKEN_BOARD_TYPE, 1, 2);
    EXPECT_EQ(&PcdDatabase::Active(), &Second);
    EXPECT_EQ(First.Ppi()->Get8(PCD_TOKEN_BOARD_TYPE), 2);
  }
  EXPECT_EQ(&PcdDatabase::Active(), &First);
  EXPECT_EQ(First.Ppi()->Get8(PCD_TOKEN_BOARD_TYPE), 1);
}

}  // namespace
