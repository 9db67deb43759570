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
  for (PcdDatabase *store = gActive; store != nullptr; store = store->previous_) {
    if (store->previous_ == this) {
      store->previous_ = previous_;
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

void PcdDatabase::Declare(uint64_t token, unsigned size, uint64_t fallback) {
  if (size != 1 && size != 2 && size != 4 && size != 8) {
    std::fprintf(stderr, "token %llu declared with size %u\n",
                 static_cast<unsigned long long>(token), size);
    std::abort();
  }
  tokens_[token] = {size, Truncate(fallback, size)};
}

void PcdDatabase::DeclareSystemTokens() {
  for (const PCD_TOKEN_INFO &token : PCD_TOKENS) {
    Declare(token.Number, token.Size);
  }
}

std::optional<uint64_t> PcdDatabase::Value(uint64_t token) const {
  const auto found = tokens_.find(token);
  if (found == tokens_.end()) {
    return std::nullopt;
  }
  return found->second.value;
}

std::optional<unsigned> PcdDatabase::Size(uint64_t token) const {
  const auto found = tokens_.find(token);
  if (found == tokens_.end()) {
    return std::nullopt;
  }
  return found->second.size;
}

std::vector<PcdAccess> PcdDatabase::SetsOf(uint64_t token) const {
  std::vector<PcdAccess> sets;
  for (const PcdAccess &access : accesses_) {
    if (access.token == token && access.IsSet()) {
      sets.push_back(access);
    }
  }
  return sets;
}

std::vector<PcdAccess> PcdDatabase::InvalidAccesses() const {
  std::vector<PcdAccess> invalid;
  for (const PcdAccess &access : accesses_) {
    if (!access.valid) {
      invalid.push_back(access);
    }
  }
  return invalid;
}

void PcdDatabase::Record(const char *operation, uint64_t token, uint64_t value, EFI_STATUS status,
                         bool valid) {
  accesses_.push_back({phase_, operation, token, value, StatusTo64(status), valid});
  if (observer_) {
    observer_(accesses_.back());
  }
}

// A token read at another width than its own yields its value cut to that
// width (as a read of the token's first bytes would), and is marked invalid.
uint64_t PcdDatabase::Get(uint64_t token, unsigned size, const char *operation) {
  const auto found = tokens_.find(token);
  const bool valid = found != tokens_.end() && found->second.size == size;
  const uint64_t value = found == tokens_.end() ? 0 : Truncate(found->second.value, size);
  Record(operation, token, value, EFI_SUCCESS, valid);
  return value;
}

EFI_STATUS PcdDatabase::Set(uint64_t token, unsigned size, uint64_t value, const char *operation) {
  const auto found = tokens_.find(token);
  EFI_STATUS status = EFI_SUCCESS;
  if (found == tokens_.end()) {
    status = EFI_NOT_FOUND;
  } else if (found->second.size != size) {
    status = EFI_INVALID_PARAMETER;
  } else if (const std::optional<EFI_STATUS> fault = setFaults_.Next()) {
    status = *fault;
  } else {
    found->second.value = value;
  }
  const bool valid = found != tokens_.end() && found->second.size == size;
  Record(operation, token, value, status, valid);
  return status;
}

PCD_PPI *PcdDatabase::Ppi() { return &gPcdPpi; }
PCD_PROTOCOL *PcdDatabase::Protocol() { return &gPcdProtocol; }

std::string PcdDatabase::Serialize() const {
  nlohmann::ordered_json tokens = nlohmann::ordered_json::array();
  for (const auto &[token, entry] : tokens_) {
    tokens.push_back({{"token", token}, {"size", entry.size}, {"value", entry.value}});
  }
  nlohmann::ordered_json accesses = nlohmann::ordered_json::array();
  for (const PcdAccess &access : accesses_) {
    accesses.push_back({{"phase", access.phase},
                        {"operation", access.operation},
                        {"token", access.token},
                        {"value", access.value},
                        {"status", access.status},
                        {"valid", access.valid}});
  }
  nlohmann::ordered_json root = {{"format", kFormat}, {"tokens", tokens}, {"accesses", accesses}};
  return root.dump(1);
}

bool PcdDatabase::Restore(std::string_view text, std::string *error) {
  const nlohmann::json root = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
  auto fail = [error](const std::string &why) {
    if (error != nullptr) {
      *error = why;
    }
    return false;
  };
  if (root.is_discarded() || !root.is_object()) {
    return fail("not a JSON object");
  }
  if (root.value("format", "") != kFormat) {
    return fail(std::string("format is not ") + kFormat);
  }
  const auto isUnsigned = [](const nlohmann::json &object, const char *key) {
    return object.contains(key) && object[key].is_number_unsigned();
  };
  std::map<uint64_t, Entry> tokens;
  if (!root.contains("tokens") || !root["tokens"].is_array()) {
    return fail("no token list");
  }
  for (const nlohmann::json &token : root["tokens"]) {
    if (!token.is_object() || !isUnsigned(token, "token") || !isUnsigned(token, "size") ||
        !isUnsigned(token, "value")) {
      return fail("malformed token " + token.dump());
    }
    const uint64_t size = token["size"].get<uint64_t>();
    if (size != 1 && size != 2 && size != 4 && size != 8) {
      return fail("token size not 1, 2, 4 or 8: " + token.dump());
    }
    tokens[token["token"].get<uint64_t>()] = {static_cast<unsigned>(size),
                                              Truncate(token["value"].get<uint64_t>(), size)};
  }
  std::vector<PcdAccess> accesses;
  if (!root.contains("accesses") || !root["accesses"].is_array()) {
    return fail("no access list");
  }
  for (const nlohmann::json &access : root["accesses"]) {
    if (!access.is_object() || !access.contains("phase") || !access["phase"].is_string() ||
        !access.contains("operation") || !access["operation"].is_string() ||
        !isUnsigned(access, "token") || !isUnsigned(access, "value") ||
        !isUnsigned(access, "status") || !access.contains("valid") ||
        !access["valid"].is_boolean()) {
      return fail("malformed access " + access.dump());
    }
    accesses.push_back({access["phase"].get<std::string>(), access["operation"].get<std::string>(),
                        access["token"].get<uint64_t>(), access["value"].get<uint64_t>(),
                        access["status"].get<uint64_t>(), access["valid"].get<bool>()});
  }
  tokens_ = std::move(tokens);
  accesses_ = std::move(accesses);
  return true;
}

}  // namespace sim
