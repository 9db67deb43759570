// The simulated PEI foundation: the PEI services table in the standard PI
// slot order, the PPI database with install, locate and notify, PEI pool,
// and the simulated IDT whose preceding word holds the services pointer (the
// IA-32 way a PEI module finds the services table).
//
// Every service call is recorded in call order as a typed record, together
// with the calls into the stand-in PPIs (PeiStandIns.h), and as a line of a
// chronological text trace, so a test can check the order in which a module
// uses its services and a report can name what failed.
#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "../../uefi/PiPei.h"
#include "../core/FaultPlan.h"
#include "../core/SimClock.h"

namespace sim {

enum class PeiService : uint8_t {
  RunModule,  // the dispatcher runs a module's entry
  InstallPpi,
  ReInstallPpi,
  LocatePpi,
  NotifyPpi,
  Notify,  // the foundation runs a registered notification
  AllocatePool,
  PpiMember,  // a call into another module's PPI (the stand-ins)
};
const char *PeiServiceName(PeiService service);

// One recorded call.
struct PeiCall {
  PeiService service = PeiService::PpiMember;
  // The PPIs the call names: located, installed, watched (in list order).
  std::vector<EFI_GUID> ppis;
  uint64_t argument = 0;  // LocatePpi: the instance; AllocatePool: the size
  // The status it returned; none for calls that report none (a stall) or
  // that never returned (the run ended inside them).
  std::optional<EFI_STATUS> status;
  // The call in progress when this one was made (a notification's lookups
  // name the notification; the entry's calls name the entry).
  std::optional<size_t> parent;
  std::string text;  // as the trace line shows it, without the status
};

class PeiFoundation {
 public:
  explicit PeiFoundation(SimClock &clock);
  ~PeiFoundation();
  PeiFoundation(const PeiFoundation &) = delete;
  PeiFoundation &operator=(const PeiFoundation &) = delete;

  // The services pointer that PEI modules receive (and find below the IDT).
  const EFI_PEI_SERVICES **Services() { return &context_.table; }
  // The foundation that owns a services pointer handed out by Services().
  static PeiFoundation &FromServices(const EFI_PEI_SERVICES **services);

  // Base of the simulated IDT (host memory). The word just below it holds
  // the services pointer; hand it to the simulated machine for SIDT.
  uintptr_t IdtBase() const;

  // Runs a module's entry point as the PEI dispatcher does, then processes
  // dispatch-type notifications (the dispatcher's point after each module).
  EFI_STATUS RunModule(EFI_PEIM_ENTRY_POINT2 entry, EFI_PEI_FILE_HANDLE fileHandle = nullptr);

  // Installs `ppi` under `guid` through the InstallPpi service, with a one-entry
  // descriptor list owned by the foundation; notifications run as usual.
  EFI_STATUS InstallPpi(const EFI_GUID &guid, void *ppi);

  // The PPI database, in installation order.
  const std::vector<const EFI_PEI_PPI_DESCRIPTOR *> &InstalledPpis() const { return ppis_; }
  size_t CountPpis(const EFI_GUID &guid) const;
  void *FindPpi(const EFI_GUID &guid, size_t instance = 0) const;

  // Capacity of the PPI and notification lists (the core's fixed tables).
  void SetCapacity(size_t maxPpis, size_t maxNotifications) {
    maxPpis_ = maxPpis;
    maxNotifications_ = maxNotifications;
  }

  // Failure injection per service; a failing call has no effect.
  FaultPlan &InstallPpiFaults() { return installFaults_; }
  FaultPlan &LocatePpiFaults() { return locateFaults_; }
  // Lookups of one PPI only; each lookup of that GUID counts as a call.
  FaultPlan &LocatePpiFaults(const EFI_GUID &guid);
  FaultPlan &NotifyPpiFaults() { return notifyFaults_; }
  FaultPlan &AllocatePoolFaults() { return poolFaults_; }

  struct PoolAllocation {
    void *buffer;
    size_t size;
  };
  // Every pool allocation made so far; PEI pool is never freed.
  const std::vector<PoolAllocation> &PoolAllocations() const { return pool_; }

  EFI_BOOT_MODE BootMode() const { return bootMode_; }

  // The calls, in call order.
  const std::vector<PeiCall> &Calls() const { return calls_; }
  // Records a call (its parent is the call in progress); returns its index
  // for CompleteCall.
  size_t AddCall(PeiCall call);
  // Records the status the call at `index` returned.
  void CompleteCall(size_t index, EFI_STATUS status);

  // The trace: one line per call, in call order, as "Service(arguments) =
  // STATUS". Lines of nested calls (notifications run inside InstallPpi)
  // follow the line of the call that caused them.
  const std::vector<std::string> &Trace() const { return trace_; }
  // Records a stand-in's call with this text; returns its index for
  // CompleteTrace.
  size_t AddTrace(std::string line);
  // Appends " = <status>" to the line at `index`.
  void CompleteTrace(size_t index, EFI_STATUS status) { CompleteCall(index, status); }
  void ClearTrace() {
    trace_.clear();
    calls_.clear();
    open_.clear();
  }

  // GUIDs appear in the trace by name where one is known: the PPIs this
  // system uses are named from the start, more can be added.
  void NameGuid(const EFI_GUID &guid, std::string name);
  std::string GuidName(const EFI_GUID &guid) const;

  SimClock &Clock() { return clock_; }

  // The services' work, reached from the table's thunks.
  EFI_STATUS DoInstallPpi(const EFI_PEI_PPI_DESCRIPTOR *ppiList);
  EFI_STATUS DoReInstallPpi(const EFI_PEI_PPI_DESCRIPTOR *oldPpi,
                            const EFI_PEI_PPI_DESCRIPTOR *newPpi);
  EFI_STATUS DoLocatePpi(const EFI_GUID *guid, UINTN instance,
                         EFI_PEI_PPI_DESCRIPTOR **ppiDescriptor, VOID **ppi);
  EFI_STATUS DoNotifyPpi(const EFI_PEI_NOTIFY_DESCRIPTOR *notifyList);
  EFI_STATUS DoGetBootMode(EFI_BOOT_MODE *bootMode);
  EFI_STATUS DoSetBootMode(EFI_BOOT_MODE bootMode);
  EFI_STATUS DoAllocatePool(UINTN size, VOID **buffer);

 private:
  // The services pointer, followed by its owner: FromServices finds the
  // foundation from the address of the pointer.
  struct Context {
    const EFI_PEI_SERVICES *table;
    PeiFoundation *owner;
  };
  struct Notification {
    const EFI_PEI_NOTIFY_DESCRIPTOR *descriptor;
    // Dispatch-type notifications: PPIs below this index were processed.
    size_t dispatchedUpTo;
  };

  // Calls made between these are recorded with `index` as their parent.
  void Enter(size_t index) { open_.push_back(index); }
  void Leave() {
    if (!open_.empty()) open_.pop_back();
  }
  void NotifyInstalled(size_t firstPpi, size_t notificationCount);
  void CallNotify(const EFI_PEI_NOTIFY_DESCRIPTOR *notify, const EFI_PEI_PPI_DESCRIPTOR *ppi);
  void RunDispatchNotifications();
  std::string ListText(const EFI_PEI_PPI_DESCRIPTOR *list, std::vector<EFI_GUID> &guids) const;

  SimClock &clock_;
  EFI_PEI_SERVICES table_;
  Context context_;
  std::unique_ptr<uint8_t[]> idt_;
  std::vector<const EFI_PEI_PPI_DESCRIPTOR *> ppis_;
  std::vector<Notification> notifications_;
  std::vector<std::unique_ptr<EFI_PEI_PPI_DESCRIPTOR>> ownedDescriptors_;
  std::vector<std::unique_ptr<uint8_t[]>> poolMemory_;
  std::vector<PoolAllocation> pool_;
  std::vector<std::string> trace_;
  std::vector<PeiCall> calls_;
  std::vector<size_t> open_;  // calls in progress, innermost last
  std::map<std::string, std::string> guidNames_;
  size_t maxPpis_ = 128;
  size_t maxNotifications_ = 64;
  EFI_BOOT_MODE bootMode_ = 0;
  FaultPlan installFaults_, locateFaults_, notifyFaults_, poolFaults_;
  std::map<std::string, FaultPlan> guidLocateFaults_;  // by GUID text
};

}  // namespace sim
