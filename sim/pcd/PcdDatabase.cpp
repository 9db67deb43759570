// The simulated configuration database and its PCD_PPI / PCD_PROTOCOL tables.
#include "PcdDatabase.h"

#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>

#include "../../include/PcdTokens.h"
#include "../core/EfiText.h"

namespace sim {
namespace {

PcdDatabase *gActive = nullptr;

constexpr const char *kFormat = "boardhook-pcd/1";

uint64_t Truncate(uint64_t Value, unsigned Size) {
  return Size >= 8 ? Value : Value & ((uint64_t{1} << (Size * 8)) - 1);
}

}  // namespace

// The interface members. Token-space GUIDs are not used by this system, so
// the store holds the default token space only: the Ex forms find no token.
struct PcdThunks {
  static VOID EFIAPI SetSku(UINTN SkuId) {
    PcdDatabase::Active().Record("SetSku", 0, SkuId, EFI_SUCCESS, true);
  }
  static UINT8 EFIAPI Get8(UINTN Token) {
    return static_cast<UINT8>(PcdDatabase::Active().Get(Token, 1, "Get8"));
  }
  static UINT16 EFIAPI Get16(UINTN Token) {
    return static_cast<UINT16>(PcdDatabase::Active().Get(Token, 2, "Get16"));
  }
  static UINT32 EFIAPI Get32(UINTN Token) {
    return static_cast<UINT32>(PcdDatabase::Active().Get(Token, 4, "Get32"));
  }
  static UINT64 EFIAPI Get64(UINTN Token) { return PcdDatabase::Active().Get(Token, 8, "Get64"); }
  // No token of this store holds a pointer.
  static VOID *EFIAPI GetPtr(UINTN Token) {
    PcdDatabase::Active().Record("GetPtr", Token, 0, EFI_SUCCESS, false);
    return NULL;
  }
  static BOOLEAN EFIAPI GetBool(UINTN Token) {
    return PcdDatabase::Active().Get(Token, 1, "GetBool") != 0 ? TRUE : FALSE;
  }
  static UINTN EFIAPI GetSize(UINTN Token) {
    PcdDatabase &Store = PcdDatabase::Active();
    const std::optional<unsigned> Size = Store.Size(Token);
    Store.Record("GetSize", Token, Size.value_or(0), EFI_SUCCESS, Size.has_value());
    return Size.value_or(0);
  }

  static uint64_t GetEx(const char *Operation, UINTN Token) {
    PcdDatabase::Active().Record(Operation, Token, 0, EFI_SUCCESS, false);
    return 0;
  }
  static UINT8 EFIAPI Get8Ex(const EFI_GUID *, UINTN Token) {
    return static_cast<UINT8>(GetEx("Get8Ex", Token));
  }
  static UINT16 EFIAPI Get16Ex(const EFI_GUID *, UINTN Token) {
    return static_cast<UINT16>(GetEx("Get16Ex", Token));
  }
  static UINT32 EFIAPI Get32Ex(const EFI_GUID *, UINTN Token) {
    return static_cast<UINT32>(GetEx("Get32Ex", Token));
  }
  static UINT64 EFIAPI Get64Ex(const EFI_GUID *, UINTN Token) { return GetEx("Get64Ex", Token); }
  static VOID *EFIAPI GetPtrEx(const EFI_GUID *, UINTN Token) {
    GetEx("GetPtrEx", Token);
    return NULL;
  }
  static BOOLEAN EFIAPI GetBoolEx(const EFI_GUID *, UINTN Token) {
    GetEx("GetBoolEx", Token);
    return FALSE;
  }
  static UINTN EFIAPI GetSizeEx(const EFI_GUID *, UINTN Token) {
    GetEx("GetSizeEx", Token);
    return 0;
  }

  static EFI_STATUS EFIAPI Set8(UINTN Token, UINT8 Value) {
    return PcdDatabase::Active().Set(Token, 1, Value, "Set8");
  }
  static EFI_STATUS EFIAPI Set16(UINTN Token, UINT16 Value) {
    return PcdDatabase::Active().Set(Token, 2, Value, "Set16");
  }
  static EFI_STATUS EFIAPI Set32(UINTN Token, UINT32 Value) {
    return PcdDatabase::Active().Set(Token, 4, Value, "Set32");
  }
  static EFI_STATUS EFIAPI Set64(UINTN Token, UINT64 Value) {
    return PcdDatabase::Active().Set(Token, 8, Value, "Set64");
  }
  static EFI_STATUS EFIAPI SetPtr(UINTN Token, UINTN *, VOID *) {
    PcdDatabase::Active().Record("SetPtr", Token, 0, EFI_INVALID_PARAMETER, false);
    return EFI_INVALID_PARAMETER;
  }
  static EFI_STATUS EFIAPI SetBool(UINTN Token, BOOLEAN Value) {
    return PcdDatabase::Active().Set(Token, 1, Value ? 1 : 0, "SetBool");
  }

  static EFI_STATUS SetEx(const char *Operation, UINTN Token, uint64_t Value) {
    PcdDatabase::Active().Record(Operation, Token, Value, EFI_NOT_FOUND, false);
    return EFI_NOT_FOUND;
  }
  static EFI_STATUS EFIAPI Set8Ex(const EFI_GUID *, UINTN Token, UINT8 Value) {
    return SetEx("Set8Ex", Token, Value);
  }
  static EFI_STATUS EFIAPI Set16Ex(const EFI_GUID *, UINTN Token, UINT16 Value) {
    return SetEx("Set16Ex", Token, Value);
  }
  static EFI_STATUS EFIAPI Set32Ex(const EFI_GUID *, UINTN Token, UINT32 Value) {
    return SetEx("Set32Ex", Token, Value);
  }
  static EFI_STATUS EFIAPI Set64Ex(const EFI_GUID *, UINTN Token, UINT64 Value) {
    return SetEx("Set64Ex", Token, Value);
  }
  static EFI_STATUS EFIAPI SetPtrEx(const EFI_GUID *, UINTN Token, UINTN *, VOID *) {
    return SetEx("SetPtrEx", Token, 0);
  }
  static EFI_STATUS EFIAPI SetBoolEx(const EFI_GUID *, UINTN Token, BOOLEAN Value) {
    return SetEx("SetBoolEx", Token, Value);
  }

  // Set callbacks are not offered by this store.
  static EFI_STATUS EFIAPI CallbackOnSet(const EFI_GUID *, UINTN, PCD_CALLBACK) {
    return EFI_UNSUPPORTED;
  }
  static EFI_STATUS EFIAPI CancelCallback(const EFI_GUID *, UINTN, PCD_CALLBACK) {
    return EFI_UNSUPPORTED;
  }

  // Walks the declared tokens of the default space: 0 starts, and the last
  // token answers EFI_NOT_FOUND with *TokenNumber 0.
  static EFI_STATUS EFIAPI GetNextToken(const EFI_GUID *Guid, UINTN *TokenNumber) {
    if (TokenNumber == NULL) {
      return EFI_INVALID_PARAMETER;
    }
    if (Guid != NULL) {
      *TokenNumber = 0;
      return EFI_NOT_FOUND;
    }
    const auto &Tokens = PcdDatabase::Active().tokens_;
    const auto Next = *TokenNumber == 0 ? Tokens.begin() : Tokens.upper_bound(*TokenNumber);
    if (Next == Tokens.end()) {
      *TokenNumber = 0;
      return EFI_NOT_FOUND;
    }
    *TokenNumber = static_cast<UINTN>(Next->first);
    return EFI_SUCCESS;
  }
  // Only the default token space exists.
  static EFI_STATUS EFIAPI GetNextTokenSpace(const EFI_GUID **Guid) {
    if (Guid == NULL) {
      return EFI_INVALID_PARAMETER;
    }
    *Guid = NULL;
    return EFI_NOT_FOUND;
  }
};

#define PCD_TABLE                                                                             \
  {                                                                                           \
    PcdThunks::SetSku, PcdThunks::Get8, PcdThunks::Get16, PcdThunks::Get32, PcdThunks::Get64, \
        PcdThunks::GetPtr, PcdThunks::GetBool, PcdThunks::GetSize, PcdThunks::Get8Ex,         \
        PcdThunks::Get16Ex, PcdThunks::Get32Ex, PcdThunks::Get64Ex, PcdThunks::GetPtrEx,      \
        PcdThunks::GetBoolEx, PcdThunks::GetSizeEx, PcdThunks::Set8, PcdThunks::Set16,        \
        PcdThunks::Set32, PcdThunks::Set64, PcdThunks::SetPtr, PcdThunks::SetBool,            \
        PcdThunks::Set8Ex, PcdThunks::Set16Ex, PcdThunks::Set32Ex, PcdThunks::Set64Ex,        \
        PcdThunks::SetPtrEx, PcdThunks::SetBoolEx, PcdThunks::CallbackOnSet,                  \
        PcdThunks::CancelCallback, PcdThunks::GetNextToken, PcdThunks::GetNextTokenSpace      \
  }

namespace {
PCD_PPI gPcdPpi = PCD_TABLE;
PCD_PROTOCOL gPcdProtocol = PCD_TABLE;
}  // namespace
#undef PCD_TABLE

PcdDatabase::PcdDatabase() : previous_(gActive) { gActive = this; }

PcdDatabase::~PcdDatabase() {
  if (gActive == this) {
    gActive = previous_;
    return;
  }
  for (PcdDatabase *Store = gActive; Store != nullptr; Store = Store->previous_) {
    if (Store->previous_ == this) {
      Store->previous_ = previous_;
      return;
    }
  }
}

PcdDatabase &PcdDatabase::Active() {
  if (gActive == nullptr) {
    std::fprintf(stderr, "configuration database called with no simulated store active\n");
    std::abort();
  }
  return *gActive;
}

void PcdDatabase::Declare(uint64_t Token, unsigned Size, uint64_t Default) {
  if (Size != 1 && Size != 2 && Size != 4 && Size != 8) {
    std::fprintf(stderr, "token %llu declared with size %u\n",
                 static_cast<unsigned long long>(Token), Size);
    std::abort();
  }
  tokens_[Token] = {Size, Truncate(Default, Size)};
}

void PcdDatabase::DeclareSystemTokens() {
  for (const PCD_TOKEN_INFO &Token : PCD_TOKENS) {
    Declare(Token.Number, Token.Size);
  }
}

std::optional<uint64_t> PcdDatabase::Value(uint64_t Token) const {
  const auto Found = tokens_.find(Token);
  if (Found == tokens_.end()) {
    return std::nullopt;
  }
  return Found->second.Value;
}

std::optional<unsigned> PcdDatabase::Size(uint64_t Token) const {
  const auto Found = tokens_.find(Token);
  if (Found == tokens_.end()) {
    return std::nullopt;
  }
  return Found->second.Size;
}

std::vector<PcdAccess> PcdDatabase::SetsOf(uint64_t Token) const {
  std::vector<PcdAccess> Sets;
  for (const PcdAccess &Access : accesses_) {
    if (Access.token == Token && Access.IsSet()) {
      Sets.push_back(Access);
    }
  }
  return Sets;
}

std::vector<PcdAccess> PcdDatabase::InvalidAccesses() const {
  std::vector<PcdAccess> Invalid;
  for (const PcdAccess &Access : accesses_) {
    if (!Access.valid) {
      Invalid.push_back(Access);
    }
  }
  return Invalid;
}

void PcdDatabase::Record(const char *Operation, uint64_t Token, uint64_t Value, EFI_STATUS Status,
                         bool Valid) {
  accesses_.push_back({phase_, Operation, Token, Value, StatusTo64(Status), Valid});
  if (observer_) {
    observer_(accesses_.back());
  }
}

// A token read at another width than its own yields its value cut to that
// width (as a read of the token's first bytes would), and is marked invalid.
uint64_t PcdDatabase::Get(uint64_t Token, unsigned Size, const char *Operation) {
  const auto Found = tokens_.find(Token);
  const bool Valid = Found != tokens_.end() && Found->second.Size == Size;
  const uint64_t Value = Found == tokens_.end() ? 0 : Truncate(Found->second.Value, Size);
  Record(Operation, Token, Value, EFI_SUCCESS, Valid);
  return Value;
}

EFI_STATUS PcdDatabase::Set(uint64_t Token, unsigned Size, uint64_t Value, const char *Operation) {
  const auto Found = tokens_.find(Token);
  EFI_STATUS Status = EFI_SUCCESS;
  if (Found == tokens_.end()) {
    Status = EFI_NOT_FOUND;
  } else if (Found->second.Size != Size) {
    Status = EFI_INVALID_PARAMETER;
  } else if (const std::optional<EFI_STATUS> Fault = setFaults_.Next()) {
    Status = *Fault;
  } else {
    Found->second.Value = Value;
  }
  const bool Valid = Found != tokens_.end() && Found->second.Size == Size;
  Record(Operation, Token, Value, Status, Valid);
  return Status;
}

PCD_PPI *PcdDatabase::Ppi() { return &gPcdPpi; }
PCD_PROTOCOL *PcdDatabase::Protocol() { return &gPcdProtocol; }

std::string PcdDatabase::Serialize() const {
  nlohmann::ordered_json Tokens = nlohmann::ordered_json::array();
  for (const auto &[Token, Entry] : tokens_) {
    Tokens.push_back({{"token", Token}, {"size", Entry.Size}, {"value", Entry.Value}});
  }
  nlohmann::ordered_json Accesses = nlohmann::ordered_json::array();
  for (const PcdAccess &Access : accesses_) {
    Accesses.push_back({{"phase", Access.phase},
                        {"operation", Access.operation},
                        {"token", Access.token},
                        {"value", Access.value},
                        {"status", Access.status},
                        {"valid", Access.valid}});
  }
  nlohmann::ordered_json Root = {{"format", kFormat}, {"tokens", Tokens}, {"accesses", Accesses}};
  return Root.dump(1);
}

bool PcdDatabase::Restore(std::string_view Text, std::string *Error) {
  const nlohmann::json Root = nlohmann::json::parse(Text, nullptr, /*allow_exceptions=*/false);
  auto Fail = [Error](const std::string &Why) {
    if (Error != nullptr) {
      *Error = Why;
    }
    return false;
  };
  if (Root.is_discarded() || !Root.is_object()) {
    return Fail("not a JSON object");
  }
  if (Root.value("format", "") != kFormat) {
    return Fail(std::string("format is not ") + kFormat);
  }
  const auto IsUnsigned = [](const nlohmann::json &Object, const char *Key) {
    return Object.contains(Key) && Object[Key].is_number_unsigned();
  };
  std::map<uint64_t, Entry> Tokens;
  if (!Root.contains("tokens") || !Root["tokens"].is_array()) {
    return Fail("no token list");
  }
  for (const nlohmann::json &Token : Root["tokens"]) {
    if (!Token.is_object() || !IsUnsigned(Token, "token") || !IsUnsigned(Token, "size") ||
        !IsUnsigned(Token, "value")) {
      return Fail("malformed token " + Token.dump());
    }
    const uint64_t Size = Token["size"].get<uint64_t>();
    if (Size != 1 && Size != 2 && Size != 4 && Size != 8) {
      return Fail("token size not 1, 2, 4 or 8: " + Token.dump());
    }
    Tokens[Token["token"].get<uint64_t>()] = {static_cast<unsigned>(Size),
                                              Truncate(Token["value"].get<uint64_t>(), Size)};
  }
  std::vector<PcdAccess> Accesses;
  if (!Root.contains("accesses") || !Root["accesses"].is_array()) {
    return Fail("no access list");
  }
  for (const nlohmann::json &Access : Root["accesses"]) {
    if (!Access.is_object() || !Access.contains("phase") || !Access["phase"].is_string() ||
        !Access.contains("operation") || !Access["operation"].is_string() ||
        !IsUnsigned(Access, "token") || !IsUnsigned(Access, "value") ||
        !IsUnsigned(Access, "status") || !Access.contains("valid") ||
        !Access["valid"].is_boolean()) {
      return Fail("malformed access " + Access.dump());
    }
    Accesses.push_back({Access["phase"].get<std::string>(), Access["operation"].get<std::string>(),
                        Access["token"].get<uint64_t>(), Access["value"].get<uint64_t>(),
                        Access["status"].get<uint64_t>(), Access["valid"].get<bool>()});
  }
  tokens_ = std::move(Tokens);
  accesses_ = std::move(Accesses);
  return true;
}

}  // namespace sim
