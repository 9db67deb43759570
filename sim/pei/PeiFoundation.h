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
const char *PeiServiceName(PeiService Service);

// One recorded call.
struct PeiCall {
  PeiService Service = PeiService::PpiMember;
  // The PPIs the call names: located, installed, watched (in list order).
  std::vector<EFI_GUID> Ppis;
  uint64_t Argument = 0;  // LocatePpi: the instance; AllocatePool: the size
  // The status it returned; none for calls that report none (a stall) or
  // that never returned (the run ended inside them).
  std::optional<EFI_STATUS> Status;
  // The call in progress when this one was made (a notification's lookups
  // name the notification; the entry's calls name the entry).
  std::optional<size_t> Parent;
  std::string Text;  // as the trace line shows it, without the status
};

class PeiFoundation {
 public:
  explicit PeiFoundation(SimClock &Clock);
  ~PeiFoundation();
  PeiFoundation(const PeiFoundation &) = delete;
  PeiFoundation &operator=(const PeiFoundation &) = delete;

  // The services pointer that PEI modules receive (and find below the IDT).
  const EFI_PEI_SERVICES **Services() { return &context_.Table; }
  // The foundation that owns a services pointer handed out by Services().
  static PeiFoundation &FromServices(const EFI_PEI_SERVICES **Services);

  // Base of the simulated IDT (host memory). The word just below it holds
  // the services pointer; hand it to the simulated machine for SIDT.
  uintptr_t IdtBase() const;

  // Runs a module's entry point as the PEI dispatcher does, then processes
  // dispatch-type notifications (the dispatcher's point after each module).
  EFI_STATUS RunModule(EFI_PEIM_ENTRY_POINT2 Entry, EFI_PEI_FILE_HANDLE FileHandle = nullptr);

  // Installs Ppi under Guid through the InstallPpi service, with a one-entry
  // descriptor list owned by the foundation; notifications run as usual.
  EFI_STATUS InstallPpi(const EFI_GUID &Guid, void *Ppi);

  // The PPI database, in installation order.
  const std::vector<const EFI_PEI_PPI_DESCRIPTOR *> &InstalledPpis() const { return ppis_; }
  size_t CountPpis(const EFI_GUID &Guid) const;
  void *FindPpi(const EFI_GUID &Guid, size_t Instance = 0) const;

  // Capacity of the PPI and notification lists (the core's fixed tables).
  void SetCapacity(size_t MaxPpis, size_t MaxNotifications) {
    maxPpis_ = MaxPpis;
    maxNotifications_ = MaxNotifications;
  }

  // Failure injection per service; a failing call has no effect.
  FaultPlan &InstallPpiFaults() { return installFaults_; }
  FaultPlan &LocatePpiFaults() { return locateFaults_; }
  // Lookups of one PPI only; each lookup of that GUID counts as a call.
  FaultPlan &LocatePpiFaults(const EFI_GUID &Guid);
  FaultPlan &NotifyPpiFaults() { return notifyFaults_; }
  FaultPlan &AllocatePoolFaults() { return poolFaults_; }

  struct PoolAllocation {
    void *Buffer;
    size_t Size;
  };
  // Every pool allocation made so far; PEI pool is never freed.
  const std::vector<PoolAllocation> &PoolAllocations() const { return pool_; }

  EFI_BOOT_MODE BootMode() const { return bootMode_; }

  // The calls, in call order.
  const std::vector<PeiCall> &Calls() const { return calls_; }
  // Records a call (its parent is the call in progress); returns its index
  // for CompleteCall.
  size_t AddCall(PeiCall Call);
  // Records the status the call at Index returned.
  void CompleteCall(size_t Index, EFI_STATUS Status);

  // The trace: one line per call, in call order, as "Service(arguments) =
  // STATUS". Lines of nested calls (notifications run inside InstallPpi)
  // follow the line of the call that caused them.
  const std::vector<std::string> &Trace() const { return trace_; }
  // Records a stand-in's call with this text; returns its index for
  // CompleteTrace.
  size_t AddTrace(std::string Line);
  // Appends " = <status>" to the line at Index.
  void CompleteTrace(size_t Index, EFI_STATUS Status) { CompleteCall(Index, Status); }
  void ClearTrace() {
    trace_.clear();
    calls_.clear();
    open_.clear();
  }

  // GUIDs appear in the trace by name where one is known: the PPIs this
  // system uses are named from the start, more can be added.
  void NameGuid(const EFI_GUID &Guid, std::string Name);
  std::string GuidName(const EFI_GUID &Guid) const;

  SimClock &Clock() { return clock_; }

  // The services' work, reached from the table's thunks.
  EFI_STATUS DoInstallPpi(const EFI_PEI_PPI_DESCRIPTOR *PpiList);
  EFI_STATUS DoReInstallPpi(const EFI_PEI_PPI_DESCRIPTOR *OldPpi,
                            const EFI_PEI_PPI_DESCRIPTOR *NewPpi);
  EFI_STATUS DoLocatePpi(const EFI_GUID *Guid, UINTN Instance,
                         EFI_PEI_PPI_DESCRIPTOR **PpiDescriptor, VOID **Ppi);
  EFI_STATUS DoNotifyPpi(const EFI_PEI_NOTIFY_DESCRIPTOR *NotifyList);
  EFI_STATUS DoGetBootMode(EFI_BOOT_MODE *BootMode);
  EFI_STATUS DoSetBootMode(EFI_BOOT_MODE BootMode);
  EFI_STATUS DoAllocatePool(UINTN Size, VOID **Buffer);

 private:
  // The services pointer, followed by its owner: FromServices finds the
  // foundation from the address of the pointer.
  struct Context {
    const EFI_PEI_SERVICES *Table;
    PeiFoundation *Owner;
  };
  struct Notification {
    const EFI_PEI_NOTIFY_DESCRIPTOR *Descriptor;
    // Dispatch-type notifications: PPIs below this index were processed.
    size_t DispatchedUpTo;
  };

  // Calls made between these are recorded with Index as their parent.
  void Enter(size_t Index) { open_.push_back(Index); }
  void Leave() {
    if (!open_.empty()) open_.pop_back();
  }
  void NotifyInstalled(size_t FirstPpi, size_t NotificationCount);
  void CallNotify(const EFI_PEI_NOTIFY_DESCRIPTOR *Notify, const EFI_PEI_PPI_DESCRIPTOR *Ppi);
  void RunDispatchNotifications();
  std::string ListText(const EFI_PEI_PPI_DESCRIPTOR *List, std::vector<EFI_GUID> &Guids) const;

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
