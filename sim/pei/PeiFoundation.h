// The simulated PEI foundation: the PEI services table in the standard PI
// slot order, the PPI database with install, locate and notify, PEI pool,
// and the simulated IDT whose preceding word holds the services pointer (the
// IA-32 way a PEI module finds the services table).
//
// Every service call is written to a chronological trace, together with the
// calls into the stand-in PPIs (PeiStandIns.h), so a test can check the
// order in which a module uses its services.
#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "../../uefi/PiPei.h"
#include "../core/FaultPlan.h"
#include "../core/SimClock.h"

namespace sim {

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

  // The trace: one line per service or stand-in call, in call order, as
  // "Service(arguments) = STATUS". Lines of nested calls (notifications run
  // inside InstallPpi) follow the line of the call that caused them.
  const std::vector<std::string> &Trace() const { return trace_; }
  // Appends a line; returns its index for CompleteTrace.
  size_t AddTrace(std::string Line);
  // Appends " = <status>" to the line at Index.
  void CompleteTrace(size_t Index, EFI_STATUS Status);
  void ClearTrace() { trace_.clear(); }

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

  void NotifyInstalled(size_t FirstPpi, size_t NotificationCount);
  void CallNotify(const EFI_PEI_NOTIFY_DESCRIPTOR *Notify, const EFI_PEI_PPI_DESCRIPTOR *Ppi);
  void RunDispatchNotifications();
  std::string ListText(const EFI_PEI_PPI_DESCRIPTOR *List) const;

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
  std::map<std::string, std::string> guidNames_;
  size_t maxPpis_ = 128;
  size_t maxNotifications_ = 64;
  EFI_BOOT_MODE bootMode_ = 0;
  FaultPlan installFaults_, locateFaults_, notifyFaults_, poolFaults_;
  std::map<std::string, FaultPlan> guidLocateFaults_;  // by GUID text
};

}  // namespace sim
