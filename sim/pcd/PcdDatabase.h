// The simulated platform configuration database: one store per simulated
// boot, keyed by plain token number, reached by the firmware through the
// public PCD_PPI (PEI) and PCD_PROTOCOL (DXE) tables. Every get and set is
// recorded. The store and its record travel from the PEI process (32-bit) to
// the DXE process (64-bit) in a serialized text form.
//
// The interface functions carry no This pointer, so they reach the active
// store: constructing a store makes it active, destroying it makes the store
// that was active before active again.
#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "../../uefi/Pcd.h"
#include "../core/FaultPlan.h"

namespace sim {

// One call into PCD_PPI / PCD_PROTOCOL.
struct PcdAccess {
  std::string phase;      // the phase that made the call ("PEI", "DXE", ...)
  std::string operation;  // the interface member: "Get8", "Set64", "GetSize", ...
  uint64_t token = 0;
  uint64_t value = 0;   // value returned by a get, passed to a set
  uint64_t status = 0;  // status of a set, as its 64-bit value (0 for gets)
  // False when the token is not in the store or the access width is not the
  // token's width: the firmware used the database in a way it cannot rely on.
  bool valid = true;

  bool IsSet() const { return operation.rfind("Set", 0) == 0; }
  bool operator==(const PcdAccess &) const = default;
};

class PcdDatabase {
 public:
  PcdDatabase();
  ~PcdDatabase();
  PcdDatabase(const PcdDatabase &) = delete;
  PcdDatabase &operator=(const PcdDatabase &) = delete;

  // The store the interface tables reach now; aborts when there is none.
  static PcdDatabase &Active();

  // Adds a token of `size` bytes (1, 2, 4 or 8) with its value `fallback`, or
  // resets an existing one.
  void Declare(uint64_t token, unsigned size, uint64_t fallback = 0);
  // Declares every token this system uses, with its width, default 0.
  void DeclareSystemTokens();
  // Takes a token out of the store: gets then return 0, sets EFI_NOT_FOUND.
  void Undeclare(uint64_t token) { tokens_.erase(token); }

  std::optional<uint64_t> Value(uint64_t token) const;
  std::optional<unsigned> Size(uint64_t token) const;

  // Labels the calls recorded from now on.
  void SetPhase(std::string phase) { phase_ = std::move(phase); }
  const std::string &Phase() const { return phase_; }

  const std::vector<PcdAccess> &Accesses() const { return accesses_; }
  std::vector<PcdAccess> SetsOf(uint64_t token) const;
  // Accesses that are not Valid (see PcdAccess).
  std::vector<PcdAccess> InvalidAccesses() const;
  void ClearAccesses() { accesses_.clear(); }
  // Called with every recorded access, after it is recorded.
  void SetObserver(std::function<void(const PcdAccess &)> observer) {
    observer_ = std::move(observer);
  }

  // Sets of a declared token with the right width fail as planned here.
  FaultPlan &SetFaults() { return setFaults_; }

  PCD_PPI *Ppi();
  PCD_PROTOCOL *Protocol();

  // JSON text with the tokens (number, size, value) and the access record.
  std::string Serialize() const;
  // Replaces tokens and record with those of a Serialize text. Returns false
  // (and changes nothing) when the text is not such a form; `error` says why.
  bool Restore(std::string_view text, std::string *error = nullptr);

  // The interface functions' work; public so the tables' thunks reach it.
  uint64_t Get(uint64_t token, unsigned size, const char *operation);
  EFI_STATUS Set(uint64_t token, unsigned size, uint64_t value, const char *operation);
  void Record(const char *operation, uint64_t token, uint64_t value, EFI_STATUS status, bool valid);

 private:
  struct Entry {
    unsigned size;
    uint64_t value;
  };
  friend struct PcdThunks;

  std::map<uint64_t, Entry> tokens_;
  std::vector<PcdAccess> accesses_;
  std::string phase_ = "PEI";
  FaultPlan setFaults_;
  std::function<void(const PcdAccess &)> observer_;
  PcdDatabase *previous_ = nullptr;
};

}  // namespace sim
