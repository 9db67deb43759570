// PCD_PROTOCOL proxy. The firmware numbers its own tokens independently, so
// only the numbers of this system's board table are answered here; all
// others, and every call with a token-space GUID, go to the firmware.
#include "PcdProxy.h"

#include "../../../include/PcdTokens.h"
#include "../../../uefi/Pcd.h"
#include "DriverImage.h"
#include "Report.h"

namespace {

struct BOARD_TOKEN {
  UINTN Token;
  UINT64 Value;
};

// The board the driver is shown: board type 8 (its MAC hook collects
// nothing, so no PCI probing on this machine), no root ports, no S3 record
// yet (this driver is the first module to start the S3 save library) and no
// SMM message buffer until the application provides one. The board
// description tests/firmware_vm/bad-signature-board.toml gives the simulator
// the same tokens.
constinit BOARD_TOKEN mBoardTokens[] = {
    {PCD_TOKEN_ROOT_PORT1_LOCATION, 0}, {PCD_TOKEN_FUNCTION_SELECT, 0},
    {PCD_TOKEN_BOARD_TYPE, 8},          {PCD_TOKEN_SETUP_ITEM_1779_SELECT, 0},
    {PCD_TOKEN_BOARD_ID_LOW, 0},        {PCD_TOKEN_BOARD_ID_MID, 0},
    {PCD_TOKEN_BOARD_ID_HIGH, 0},       {PCD_TOKEN_BOARD_REVISION, 0},
    {PCD_TOKEN_ROOT_PORT2_LOCATION, 0}, {PCD_TOKEN_ROOT_PORT3_LOCATION, 0},
    {PCD_TOKEN_ROOT_PORT4_LOCATION, 0}, {PCD_TOKEN_SETUP_OPTION, 0},
    {PCD_TOKEN_S3_LIB_PRIVATE_DATA, 0}, {PCD_TOKEN_SMM_COMMUNICATION_BUFFER, 0},
};

struct PCD_CALL_RECORD {
  const CHAR8 *Member;
  UINTN Token;
  UINT64 Value;
  BOOLEAN FromBoardTable;
  BOOLEAN FromDriver;
};

constexpr UINTN MAX_RECORDED_CALLS = 128;
constinit PCD_CALL_RECORD mCalls[MAX_RECORDED_CALLS] = {};
constinit UINTN mCallCount = 0;
constinit UINTN mDriverCallCount = 0;
constinit PCD_PROTOCOL *mFirmwarePcd = NULL;
constinit EFI_HANDLE mPcdHandle = NULL;

BOARD_TOKEN *FindBoardToken(UINTN Token) {
  for (BOARD_TOKEN &Entry : mBoardTokens) {
    if (Entry.Token == Token) {
      return &Entry;
    }
  }
  return NULL;
}

VOID RecordCall(const CHAR8 *Member, UINTN Token, UINT64 Value, BOOLEAN FromBoardTable,
                VOID *ReturnAddress) {
  BOOLEAN FromDriver = InDriverImage(ReturnAddress);
  if (FromDriver) {
    mDriverCallCount++;
  }
  if (mCallCount < MAX_RECORDED_CALLS) {
    mCalls[mCallCount] = {Member, Token, Value, FromBoardTable, FromDriver};
  }
  mCallCount++;
}

#define RETURN_ADDRESS __builtin_return_address(0)

#define PROXY_GET(Name, Type)                                                    \
  Type EFIAPI Proxy##Name(UINTN Token) {                                         \
    BOARD_TOKEN *Board = FindBoardToken(Token);                                  \
    Type Value = Board != NULL ? (Type)Board->Value : mFirmwarePcd->Name(Token); \
    RecordCall(#Name, Token, (UINT64)Value, Board != NULL, RETURN_ADDRESS);      \
    return Value;                                                                \
  }
#define PROXY_GET_EX(Name, Type)                                    \
  Type EFIAPI Proxy##Name(const EFI_GUID *Guid, UINTN Token) {      \
    Type Value = mFirmwarePcd->Name(Guid, Token);                   \
    RecordCall(#Name, Token, (UINT64)Value, FALSE, RETURN_ADDRESS); \
    return Value;                                                   \
  }
#define PROXY_SET(Name, Type)                                               \
  EFI_STATUS EFIAPI Proxy##Name(UINTN Token, Type Value) {                  \
    BOARD_TOKEN *Board = FindBoardToken(Token);                             \
    EFI_STATUS Status = EFI_SUCCESS;                                        \
    if (Board != NULL) {                                                    \
      Board->Value = Value;                                                 \
    } else {                                                                \
      Status = mFirmwarePcd->Name(Token, Value);                            \
    }                                                                       \
    RecordCall(#Name, Token, (UINT64)Value, Board != NULL, RETURN_ADDRESS); \
    return Status;                                                          \
  }
#define PROXY_SET_EX(Name, Type)                                                 \
  EFI_STATUS EFIAPI Proxy##Name(const EFI_GUID *Guid, UINTN Token, Type Value) { \
    RecordCall(#Name, Token, (UINT64)Value, FALSE, RETURN_ADDRESS);              \
    return mFirmwarePcd->Name(Guid, Token, Value);                               \
  }

PROXY_GET(Get8, UINT8)
PROXY_GET(Get16, UINT16)
PROXY_GET(Get32, UINT32)
PROXY_GET(Get64, UINT64)
PROXY_GET(GetBool, BOOLEAN)
PROXY_GET_EX(Get8Ex, UINT8)
PROXY_GET_EX(Get16Ex, UINT16)
PROXY_GET_EX(Get32Ex, UINT32)
PROXY_GET_EX(Get64Ex, UINT64)
PROXY_GET_EX(GetBoolEx, BOOLEAN)
PROXY_GET_EX(GetSizeEx, UINTN)
PROXY_SET(Set8, UINT8)
PROXY_SET(Set16, UINT16)
PROXY_SET(Set32, UINT32)
PROXY_SET(Set64, UINT64)
PROXY_SET(SetBool, BOOLEAN)
PROXY_SET_EX(Set8Ex, UINT8)
PROXY_SET_EX(Set16Ex, UINT16)
PROXY_SET_EX(Set32Ex, UINT32)
PROXY_SET_EX(Set64Ex, UINT64)
PROXY_SET_EX(SetBoolEx, BOOLEAN)

VOID EFIAPI ProxySetSku(UINTN SkuId) {
  RecordCall("SetSku", 0, SkuId, FALSE, RETURN_ADDRESS);
  mFirmwarePcd->SetSku(SkuId);
}

// Board-table tokens are plain values, so their size is their width.
UINTN EFIAPI ProxyGetSize(UINTN Token) {
  BOARD_TOKEN *Board = FindBoardToken(Token);
  UINTN Size = Board != NULL ? sizeof(UINT64) : mFirmwarePcd->GetSize(Token);
  RecordCall("GetSize", Token, Size, Board != NULL, RETURN_ADDRESS);
  return Size;
}

VOID *EFIAPI ProxyGetPtr(UINTN Token) {
  VOID *Value = mFirmwarePcd->GetPtr(Token);
  RecordCall("GetPtr", Token, reinterpret_cast<UINTN>(Value), FALSE, RETURN_ADDRESS);
  return Value;
}

VOID *EFIAPI ProxyGetPtrEx(const EFI_GUID *Guid, UINTN Token) {
  VOID *Value = mFirmwarePcd->GetPtrEx(Guid, Token);
  RecordCall("GetPtrEx", Token, reinterpret_cast<UINTN>(Value), FALSE, RETURN_ADDRESS);
  return Value;
}

EFI_STATUS EFIAPI ProxySetPtr(UINTN Token, UINTN *SizeOfBuffer, VOID *Buffer) {
  RecordCall("SetPtr", Token, reinterpret_cast<UINTN>(Buffer), FALSE, RETURN_ADDRESS);
  return mFirmwarePcd->SetPtr(Token, SizeOfBuffer, Buffer);
}

EFI_STATUS EFIAPI ProxySetPtrEx(const EFI_GUID *Guid, UINTN Token, UINTN *SizeOfBuffer,
                                VOID *Buffer) {
  RecordCall("SetPtrEx", Token, reinterpret_cast<UINTN>(Buffer), FALSE, RETURN_ADDRESS);
  return mFirmwarePcd->SetPtrEx(Guid, Token, SizeOfBuffer, Buffer);
}

EFI_STATUS EFIAPI ProxyCallbackOnSet(const EFI_GUID *Guid, UINTN Token, PCD_CALLBACK Callback) {
  RecordCall("CallbackOnSet", Token, 0, FALSE, RETURN_ADDRESS);
  return mFirmwarePcd->CallbackOnSet(Guid, Token, Callback);
}

EFI_STATUS EFIAPI ProxyCancelCallback(const EFI_GUID *Guid, UINTN Token, PCD_CALLBACK Callback) {
  RecordCall("CancelCallback", Token, 0, FALSE, RETURN_ADDRESS);
  return mFirmwarePcd->CancelCallback(Guid, Token, Callback);
}

EFI_STATUS EFIAPI ProxyGetNextToken(const EFI_GUID *Guid, UINTN *Token) {
  RecordCall("GetNextToken", Token != NULL ? *Token : 0, 0, FALSE, RETURN_ADDRESS);
  return mFirmwarePcd->GetNextToken(Guid, Token);
}

EFI_STATUS EFIAPI ProxyGetNextTokenSpace(const EFI_GUID **Guid) {
  RecordCall("GetNextTokenSpace", 0, 0, FALSE, RETURN_ADDRESS);
  return mFirmwarePcd->GetNextTokenSpace(Guid);
}

constinit PCD_PROTOCOL mProxy = {ProxySetSku,
                                 ProxyGet8,
                                 ProxyGet16,
                                 ProxyGet32,
                                 ProxyGet64,
                                 ProxyGetPtr,
                                 ProxyGetBool,
                                 ProxyGetSize,
                                 ProxyGet8Ex,
                                 ProxyGet16Ex,
                                 ProxyGet32Ex,
                                 ProxyGet64Ex,
                                 ProxyGetPtrEx,
                                 ProxyGetBoolEx,
                                 ProxyGetSizeEx,
                                 ProxySet8,
                                 ProxySet16,
                                 ProxySet32,
                                 ProxySet64,
                                 ProxySetPtr,
                                 ProxySetBool,
                                 ProxySet8Ex,
                                 ProxySet16Ex,
                                 ProxySet32Ex,
                                 ProxySet64Ex,
                                 ProxySetPtrEx,
                                 ProxySetBoolEx,
                                 ProxyCallbackOnSet,
                                 ProxyCancelCallback,
                                 ProxyGetNextToken,
                                 ProxyGetNextTokenSpace};

}  // namespace

EFI_STATUS WithdrawFirmwarePcd(EFI_BOOT_SERVICES *BootServices) {
  UINTN HandleCount = 0;
  EFI_HANDLE *Handles = NULL;
  EFI_STATUS Status =
      BootServices->LocateHandleBuffer(ByProtocol, &gPcdProtocolGuid, NULL, &HandleCount, &Handles);
  ReportHexField("pcd.firmware locate_status", Status);
  ReportDecField("handles", HandleCount);
  if (EFI_ERROR(Status) || HandleCount == 0) {
    ReportText("\n");
    return EFI_ERROR(Status) ? Status : EFI_NOT_FOUND;
  }
  mPcdHandle = Handles[0];
  BootServices->FreePool(Handles);
  VOID *Firmware = NULL;
  Status = BootServices->HandleProtocol(mPcdHandle, &gPcdProtocolGuid, &Firmware);
  ReportHexField("interface", reinterpret_cast<UINTN>(Firmware));
  ReportText("\n");
  if (EFI_ERROR(Status)) {
    return Status;
  }
  mFirmwarePcd = static_cast<PCD_PROTOCOL *>(Firmware);
  return BootServices->UninstallProtocolInterface(mPcdHandle, &gPcdProtocolGuid, Firmware);
}

EFI_STATUS InstallPcdProxy(EFI_BOOT_SERVICES *BootServices) {
  if (mFirmwarePcd == NULL) {
    return EFI_NOT_READY;
  }
  EFI_HANDLE Handle = mPcdHandle;
  return BootServices->InstallProtocolInterface(&Handle, &gPcdProtocolGuid, EFI_NATIVE_INTERFACE,
                                                &mProxy);
}

UINT64 BoardTokenValue(UINTN Token) {
  BOARD_TOKEN *Board = FindBoardToken(Token);
  return Board != NULL ? Board->Value : 0;
}

VOID SetBoardTokenValue(UINTN Token, UINT64 Value) {
  BOARD_TOKEN *Board = FindBoardToken(Token);
  if (Board != NULL) {
    Board->Value = Value;
  }
}

VOID ReportPcdCalls() {
  for (UINTN Index = 0; Index < mCallCount && Index < MAX_RECORDED_CALLS; Index++) {
    const PCD_CALL_RECORD &Call = mCalls[Index];
    ReportText("pcd.call ");
    ReportText("member=");
    ReportText(Call.Member);
    ReportText(" ");
    ReportDecField("token", Call.Token);
    ReportHexField("value", Call.Value);
    ReportText(Call.FromBoardTable ? "answer=board " : "answer=firmware ");
    ReportText(Call.FromDriver ? "caller=driver\n" : "caller=other\n");
  }
  ReportDecField("pcd.summary calls", mCallCount);
  ReportDecField("driver_calls", mDriverCallCount);
  ReportDecField("dropped", mCallCount > MAX_RECORDED_CALLS ? mCallCount - MAX_RECORDED_CALLS : 0);
  ReportText("\n");
}
