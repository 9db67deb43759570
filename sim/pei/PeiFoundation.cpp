// The simulated PEI foundation: services table, PPI database, pool and IDT.
#include "PeiFoundation.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "../../include/BoardHookPpi.h"
#include "../../uefi/Pcd.h"
#include "../../uefi/PlatformModules.h"
#include "../../uefi/StandardInterfaces.h"
#include "../core/EfiText.h"

namespace sim {
namespace {

// A list without the terminate flag would be read past its end; the core
// stops after this many entries and refuses the list.
constexpr size_t kMaxListEntries = 64;
// 256 gate descriptors of 8 bytes, as on IA-32.
constexpr size_t kIdtSize = 256 * 8;

// The services table's functions: each finds its foundation from the
// services pointer it is given.
struct Thunks {
  static EFI_STATUS EFIAPI InstallPpi(const EFI_PEI_SERVICES **Services,
                                      const EFI_PEI_PPI_DESCRIPTOR *PpiList) {
    return PeiFoundation::FromServices(Services).DoInstallPpi(PpiList);
  }
  static EFI_STATUS EFIAPI ReInstallPpi(const EFI_PEI_SERVICES **Services,
                                        const EFI_PEI_PPI_DESCRIPTOR *OldPpi,
                                        const EFI_PEI_PPI_DESCRIPTOR *NewPpi) {
    return PeiFoundation::FromServices(Services).DoReInstallPpi(OldPpi, NewPpi);
  }
  static EFI_STATUS EFIAPI LocatePpi(const EFI_PEI_SERVICES **Services, const EFI_GUID *Guid,
                                     UINTN Instance, EFI_PEI_PPI_DESCRIPTOR **PpiDescriptor,
                                     VOID **Ppi) {
    return PeiFoundation::FromServices(Services).DoLocatePpi(Guid, Instance, PpiDescriptor, Ppi);
  }
  static EFI_STATUS EFIAPI NotifyPpi(const EFI_PEI_SERVICES **Services,
                                     const EFI_PEI_NOTIFY_DESCRIPTOR *NotifyList) {
    return PeiFoundation::FromServices(Services).DoNotifyPpi(NotifyList);
  }
  static EFI_STATUS EFIAPI GetBootMode(const EFI_PEI_SERVICES **Services, EFI_BOOT_MODE *BootMode) {
    return PeiFoundation::FromServices(Services).DoGetBootMode(BootMode);
  }
  static EFI_STATUS EFIAPI SetBootMode(const EFI_PEI_SERVICES **Services, EFI_BOOT_MODE BootMode) {
    return PeiFoundation::FromServices(Services).DoSetBootMode(BootMode);
  }
  // No HOB list is modelled in PEI.
  static EFI_STATUS EFIAPI GetHobList(const EFI_PEI_SERVICES **, VOID **) {
    return EFI_UNSUPPORTED;
  }
  static EFI_STATUS EFIAPI AllocatePool(const EFI_PEI_SERVICES **Services, UINTN Size,
                                        VOID **Buffer) {
    return PeiFoundation::FromServices(Services).DoAllocatePool(Size, Buffer);
  }
  static VOID EFIAPI CopyMem(VOID *Destination, VOID *Source, UINTN Length) {
    std::memmove(Destination, Source, Length);
  }
  static VOID EFIAPI SetMem(VOID *Buffer, UINTN Size, UINT8 Value) {
    std::memset(Buffer, Value, Size);
  }
  static EFI_STATUS EFIAPI Unsupported() { return EFI_UNSUPPORTED; }
};

PeiCall NewCall(PeiService Service, uint64_t Argument = 0) {
  PeiCall Call;
  Call.Service = Service;
  Call.Argument = Argument;
  return Call;
}

bool HasTerminate(UINTN Flags) { return (Flags & EFI_PEI_PPI_DESCRIPTOR_TERMINATE_LIST) != 0; }

}  // namespace

const char *PeiServiceName(PeiService Service) {
  switch (Service) {
    case PeiService::RunModule:
      return "RunModule";
    case PeiService::InstallPpi:
      return "InstallPpi";
    case PeiService::ReInstallPpi:
      return "ReInstallPpi";
    case PeiService::LocatePpi:
      return "LocatePpi";
    case PeiService::NotifyPpi:
      return "NotifyPpi";
    case PeiService::Notify:
      return "Notify";
    case PeiService::AllocatePool:
      return "AllocatePool";
    case PeiService::PpiMember:
      return "PpiMember";
  }
  return "?";
}

PeiFoundation::PeiFoundation(SimClock &Clock) : clock_(Clock) {
  std::memset(&table_, 0, sizeof(table_));
  table_.Hdr.Signature = PEI_SERVICES_SIGNATURE;
  table_.Hdr.Revision = (1U << 16) | 80U;  // PI 1.8
  table_.Hdr.HeaderSize = sizeof(table_);
  table_.InstallPpi = Thunks::InstallPpi;
  table_.ReInstallPpi = Thunks::ReInstallPpi;
  table_.LocatePpi = Thunks::LocatePpi;
  table_.NotifyPpi = Thunks::NotifyPpi;
  table_.GetBootMode = Thunks::GetBootMode;
  table_.SetBootMode = Thunks::SetBootMode;
  table_.GetHobList = Thunks::GetHobList;
  table_.CreateHob = Thunks::Unsupported;
  table_.FfsFindNextVolume = Thunks::Unsupported;
  table_.FfsFindNextFile = Thunks::Unsupported;
  table_.FfsFindSectionData = Thunks::Unsupported;
  table_.InstallPeiMemory = Thunks::Unsupported;
  table_.AllocatePages = Thunks::Unsupported;
  table_.AllocatePool = Thunks::AllocatePool;
  table_.CopyMem = Thunks::CopyMem;
  table_.SetMem = Thunks::SetMem;
  table_.ReportStatusCode = Thunks::Unsupported;
  table_.ResetSystem = Thunks::Unsupported;
  table_.CpuIo = nullptr;
  table_.PciCfg = nullptr;
  table_.FfsFindFileByName = Thunks::Unsupported;
  table_.FfsGetFileInfo = Thunks::Unsupported;
  table_.FfsGetVolumeInfo = Thunks::Unsupported;
  table_.RegisterForShadow = Thunks::Unsupported;
  table_.FindSectionData3 = Thunks::Unsupported;
  table_.FfsGetFileInfo2 = Thunks::Unsupported;
  table_.ResetSystem2 = Thunks::Unsupported;
  table_.FreePages = Thunks::Unsupported;
  context_ = {&table_, this};

  // The word below the IDT base holds the services pointer.
  idt_ = std::make_unique<uint8_t[]>(sizeof(UINTN) + kIdtSize);
  std::memset(idt_.get(), 0, sizeof(UINTN) + kIdtSize);
  const UINTN ServicesWord = reinterpret_cast<UINTN>(Services());
  std::memcpy(idt_.get(), &ServicesWord, sizeof(ServicesWord));

  const struct {
    const EFI_GUID &Guid;
    const char *Name;
  } kKnown[] = {
      {gEfiPeiSmbus2PpiGuid, "EFI_PEI_SMBUS2_PPI"},
      {gEfiPeiStallPpiGuid, "EFI_PEI_STALL_PPI"},
      {gEfiPeiReadOnlyVariable2PpiGuid, "EFI_PEI_READ_ONLY_VARIABLE2_PPI"},
      {gPcdPpiGuid, "PCD_PPI"},
      {gBmcIpmiPpiGuid, "BMC_IPMI_PPI"},
      {gI2cTablePpiGuid, "I2C_TABLE_PPI"},
      {gI2cApplyPpiGuid, "I2C_APPLY_PPI"},
      {gBoardHookPpiGuid, "BOARD_HOOK_PPI"},
  };
  for (const auto &Known : kKnown) {
    NameGuid(Known.Guid, Known.Name);
  }
}

PeiFoundation::~PeiFoundation() { context_.Owner = nullptr; }

PeiFoundation &PeiFoundation::FromServices(const EFI_PEI_SERVICES **Services) {
  const Context *Found = reinterpret_cast<const Context *>(Services);
  if (Found == nullptr || Found->Owner == nullptr || Found->Owner->Services() != Services) {
    std::fprintf(stderr, "PEI service called with a services pointer no foundation owns\n");
    std::abort();
  }
  return *Found->Owner;
}

uintptr_t PeiFoundation::IdtBase() const {
  return reinterpret_cast<uintptr_t>(idt_.get() + sizeof(UINTN));
}

EFI_STATUS PeiFoundation::RunModule(EFI_PEIM_ENTRY_POINT2 Entry, EFI_PEI_FILE_HANDLE FileHandle) {
  PeiCall Call = NewCall(PeiService::RunModule);
  Call.Text = "RunModule()";
  const size_t Line = AddCall(std::move(Call));
  Enter(Line);
  const EFI_STATUS Status = Entry(FileHandle, Services());
  Leave();
  CompleteCall(Line, Status);
  RunDispatchNotifications();
  return Status;
}

EFI_STATUS PeiFoundation::InstallPpi(const EFI_GUID &Guid, void *Ppi) {
  auto Descriptor = std::make_unique<EFI_PEI_PPI_DESCRIPTOR>();
  Descriptor->Flags = EFI_PEI_PPI_DESCRIPTOR_PPI | EFI_PEI_PPI_DESCRIPTOR_TERMINATE_LIST;
  Descriptor->Guid = &Guid;
  Descriptor->Ppi = Ppi;
  const EFI_PEI_PPI_DESCRIPTOR *List = Descriptor.get();
  ownedDescriptors_.push_back(std::move(Descriptor));
  return table_.InstallPpi(Services(), List);
}

size_t PeiFoundation::CountPpis(const EFI_GUID &Guid) const {
  size_t Count = 0;
  for (const EFI_PEI_PPI_DESCRIPTOR *Ppi : ppis_) {
    Count += GuidEquals(Ppi->Guid, &Guid) ? 1 : 0;
  }
  return Count;
}

void *PeiFoundation::FindPpi(const EFI_GUID &Guid, size_t Instance) const {
  for (const EFI_PEI_PPI_DESCRIPTOR *Ppi : ppis_) {
    if (GuidEquals(Ppi->Guid, &Guid) && Instance-- == 0) {
      return Ppi->Ppi;
    }
  }
  return nullptr;
}

size_t PeiFoundation::AddCall(PeiCall Call) {
  if (!open_.empty()) Call.Parent = open_.back();
  trace_.push_back(Call.Text);
  calls_.push_back(std::move(Call));
  return calls_.size() - 1;
}

void PeiFoundation::CompleteCall(size_t Index, EFI_STATUS Status) {
  calls_.at(Index).Status = Status;
  trace_.at(Index) += " = " + StatusText(Status);
}

size_t PeiFoundation::AddTrace(std::string Line) {
  PeiCall Call = NewCall(PeiService::PpiMember);
  Call.Text = std::move(Line);
  return AddCall(std::move(Call));
}

void PeiFoundation::NameGuid(const EFI_GUID &Guid, std::string Name) {
  guidNames_[GuidText(Guid)] = std::move(Name);
}

std::string PeiFoundation::GuidName(const EFI_GUID &Guid) const {
  const std::string Text = GuidText(Guid);
  const auto Found = guidNames_.find(Text);
  return Found == guidNames_.end() ? Text : Found->second;
}

std::string PeiFoundation::ListText(const EFI_PEI_PPI_DESCRIPTOR *List,
                                    std::vector<EFI_GUID> &Guids) const {
  std::string Text;
  for (size_t Index = 0; List != nullptr && Index < kMaxListEntries; Index++) {
    if (!Text.empty()) {
      Text += ", ";
    }
    Text += List[Index].Guid != nullptr ? GuidName(*List[Index].Guid) : "NULL";
    if (List[Index].Guid != nullptr) Guids.push_back(*List[Index].Guid);
    if (HasTerminate(List[Index].Flags)) {
      break;
    }
  }
  return Text;
}

// Installs every descriptor of the list, or none when one is not a PPI
// descriptor, then runs the callback notifications registered so far for
// each new PPI, in installation order and, per PPI, in registration order.
EFI_STATUS PeiFoundation::DoInstallPpi(const EFI_PEI_PPI_DESCRIPTOR *PpiList) {
  PeiCall Call = NewCall(PeiService::InstallPpi);
  Call.Text = "InstallPpi(" + ListText(PpiList, Call.Ppis) + ")";
  const size_t Line = AddCall(std::move(Call));
  auto Finish = [&](EFI_STATUS Status) {
    CompleteTrace(Line, Status);
    return Status;
  };
  if (PpiList == nullptr) {
    return Finish(EFI_INVALID_PARAMETER);
  }
  size_t Count = 0;
  for (;; Count++) {
    if (Count == kMaxListEntries) {
      return Finish(EFI_INVALID_PARAMETER);
    }
    const EFI_PEI_PPI_DESCRIPTOR &Entry = PpiList[Count];
    if ((Entry.Flags & EFI_PEI_PPI_DESCRIPTOR_PPI) == 0 || Entry.Guid == nullptr) {
      return Finish(EFI_INVALID_PARAMETER);
    }
    if (HasTerminate(Entry.Flags)) {
      Count++;
      break;
    }
  }
  if (const std::optional<EFI_STATUS> Fault = installFaults_.Next()) {
    return Finish(*Fault);
  }
  if (ppis_.size() + Count > maxPpis_) {
    return Finish(EFI_OUT_OF_RESOURCES);
  }
  const size_t First = ppis_.size();
  for (size_t Index = 0; Index < Count; Index++) {
    ppis_.push_back(&PpiList[Index]);
  }
  CompleteTrace(Line, EFI_SUCCESS);
  Enter(Line);
  NotifyInstalled(First, notifications_.size());
  Leave();
  return EFI_SUCCESS;
}

// Replaces an installed descriptor (found by its address) in place; the
// callback notifications for the new PPI's GUID run as for an installation.
EFI_STATUS PeiFoundation::DoReInstallPpi(const EFI_PEI_PPI_DESCRIPTOR *OldPpi,
                                         const EFI_PEI_PPI_DESCRIPTOR *NewPpi) {
  PeiCall Call = NewCall(PeiService::ReInstallPpi);
  Call.Text = "ReInstallPpi(" + ListText(NewPpi, Call.Ppis) + ")";
  const size_t Line = AddCall(std::move(Call));
  EFI_STATUS Status = EFI_NOT_FOUND;
  if (OldPpi == nullptr || NewPpi == nullptr || NewPpi->Guid == nullptr ||
      (NewPpi->Flags & EFI_PEI_PPI_DESCRIPTOR_PPI) == 0) {
    Status = EFI_INVALID_PARAMETER;
  } else {
    for (size_t Index = 0; Index < ppis_.size(); Index++) {
      if (ppis_[Index] == OldPpi) {
        ppis_[Index] = NewPpi;
        CompleteTrace(Line, EFI_SUCCESS);
        Enter(Line);
        const size_t Registered = notifications_.size();
        for (size_t Notify = 0; Notify < Registered; Notify++) {
          const EFI_PEI_NOTIFY_DESCRIPTOR *Descriptor = notifications_[Notify].Descriptor;
          if ((Descriptor->Flags & EFI_PEI_PPI_DESCRIPTOR_NOTIFY_CALLBACK) != 0 &&
              GuidEquals(Descriptor->Guid, NewPpi->Guid)) {
            CallNotify(Descriptor, NewPpi);
          }
        }
        Leave();
        return EFI_SUCCESS;
      }
    }
  }
  CompleteTrace(Line, Status);
  return Status;
}

FaultPlan &PeiFoundation::LocatePpiFaults(const EFI_GUID &Guid) {
  return guidLocateFaults_[GuidText(Guid)];
}

EFI_STATUS PeiFoundation::DoLocatePpi(const EFI_GUID *Guid, UINTN Instance,
                                      EFI_PEI_PPI_DESCRIPTOR **PpiDescriptor, VOID **Ppi) {
  PeiCall Call = NewCall(PeiService::LocatePpi, Instance);
  if (Guid != nullptr) Call.Ppis.push_back(*Guid);
  Call.Text = "LocatePpi(" + (Guid ? GuidName(*Guid) : std::string("NULL")) + ", " +
              std::to_string(Instance) + ")";
  const size_t Line = AddCall(std::move(Call));
  EFI_STATUS Status = EFI_NOT_FOUND;
  std::optional<EFI_STATUS> Fault;
  if (Guid != nullptr && Ppi != nullptr) {
    Fault = locateFaults_.Next();
    const auto ByGuid = guidLocateFaults_.find(GuidText(*Guid));
    if (ByGuid != guidLocateFaults_.end()) {
      const std::optional<EFI_STATUS> GuidFault = ByGuid->second.Next();
      Fault = Fault ? Fault : GuidFault;
    }
  }
  if (Guid == nullptr || Ppi == nullptr) {
    Status = EFI_INVALID_PARAMETER;
  } else if (Fault) {
    Status = *Fault;
  } else {
    UINTN Remaining = Instance;
    for (const EFI_PEI_PPI_DESCRIPTOR *Installed : ppis_) {
      if (GuidEquals(Installed->Guid, Guid) && Remaining-- == 0) {
        if (PpiDescriptor != nullptr) {
          *PpiDescriptor = const_cast<EFI_PEI_PPI_DESCRIPTOR *>(Installed);
        }
        *Ppi = Installed->Ppi;
        Status = EFI_SUCCESS;
        break;
      }
    }
  }
  CompleteTrace(Line, Status);
  return Status;
}

// Registers every descriptor of the list, or none when one is not a notify
// descriptor. A callback notification also runs at once for each matching
// PPI already installed; a dispatch notification runs at the next dispatch
// point for those and for later ones.
EFI_STATUS PeiFoundation::DoNotifyPpi(const EFI_PEI_NOTIFY_DESCRIPTOR *NotifyList) {
  std::string Text;
  PeiCall Call = NewCall(PeiService::NotifyPpi);
  for (size_t Index = 0; NotifyList != nullptr && Index < kMaxListEntries; Index++) {
    Text += (Index ? ", " : "") +
            (NotifyList[Index].Guid ? GuidName(*NotifyList[Index].Guid) : std::string("NULL"));
    if (NotifyList[Index].Guid != nullptr) Call.Ppis.push_back(*NotifyList[Index].Guid);
    if (HasTerminate(NotifyList[Index].Flags)) {
      break;
    }
  }
  Call.Text = "NotifyPpi(" + Text + ")";
  const size_t Line = AddCall(std::move(Call));
  auto Finish = [&](EFI_STATUS Status) {
    CompleteTrace(Line, Status);
    return Status;
  };
  if (NotifyList == nullptr) {
    return Finish(EFI_INVALID_PARAMETER);
  }
  size_t Count = 0;
  for (;; Count++) {
    if (Count == kMaxListEntries) {
      return Finish(EFI_INVALID_PARAMETER);
    }
    const EFI_PEI_NOTIFY_DESCRIPTOR &Entry = NotifyList[Count];
    if ((Entry.Flags & EFI_PEI_PPI_DESCRIPTOR_NOTIFY_TYPES) == 0 || Entry.Guid == nullptr ||
        Entry.Notify == nullptr) {
      return Finish(EFI_INVALID_PARAMETER);
    }
    if (HasTerminate(Entry.Flags)) {
      Count++;
      break;
    }
  }
  if (const std::optional<EFI_STATUS> Fault = notifyFaults_.Next()) {
    return Finish(*Fault);
  }
  if (notifications_.size() + Count > maxNotifications_) {
    return Finish(EFI_OUT_OF_RESOURCES);
  }
  const size_t First = notifications_.size();
  for (size_t Index = 0; Index < Count; Index++) {
    notifications_.push_back({&NotifyList[Index], 0});
  }
  CompleteTrace(Line, EFI_SUCCESS);
  // PPIs installed by these callbacks notify the new registrations through
  // their own installation; only the PPIs present now are offered here.
  const size_t Installed = ppis_.size();
  Enter(Line);
  for (size_t Index = First; Index < First + Count; Index++) {
    const EFI_PEI_NOTIFY_DESCRIPTOR *Descriptor = notifications_[Index].Descriptor;
    if ((Descriptor->Flags & EFI_PEI_PPI_DESCRIPTOR_NOTIFY_CALLBACK) == 0) {
      continue;
    }
    for (size_t Ppi = 0; Ppi < Installed; Ppi++) {
      if (GuidEquals(ppis_[Ppi]->Guid, Descriptor->Guid)) {
        CallNotify(Descriptor, ppis_[Ppi]);
      }
    }
  }
  Leave();
  return EFI_SUCCESS;
}

// Runs the callback notifications among the first NotificationCount
// registrations for the PPIs from FirstPpi on that were installed together.
// Registrations made meanwhile have been offered these PPIs already.
void PeiFoundation::NotifyInstalled(size_t FirstPpi, size_t NotificationCount) {
  const size_t EndPpi = ppis_.size();
  for (size_t Ppi = FirstPpi; Ppi < EndPpi; Ppi++) {
    for (size_t Notify = 0; Notify < NotificationCount; Notify++) {
      const EFI_PEI_NOTIFY_DESCRIPTOR *Descriptor = notifications_[Notify].Descriptor;
      if ((Descriptor->Flags & EFI_PEI_PPI_DESCRIPTOR_NOTIFY_CALLBACK) != 0 &&
          GuidEquals(Descriptor->Guid, ppis_[Ppi]->Guid)) {
        CallNotify(Descriptor, ppis_[Ppi]);
      }
    }
  }
}

void PeiFoundation::CallNotify(const EFI_PEI_NOTIFY_DESCRIPTOR *Notify,
                               const EFI_PEI_PPI_DESCRIPTOR *Ppi) {
  PeiCall Call = NewCall(PeiService::Notify);
  Call.Ppis.push_back(*Notify->Guid);
  Call.Text = "Notify(" + GuidName(*Notify->Guid) + ")";
  const size_t Line = AddCall(std::move(Call));
  Enter(Line);
  const EFI_STATUS Status =
      Notify->Notify(const_cast<EFI_PEI_SERVICES **>(Services()),
                     const_cast<EFI_PEI_NOTIFY_DESCRIPTOR *>(Notify), Ppi->Ppi);
  Leave();
  CompleteTrace(Line, Status);
}

// Dispatch-type notifications, at the dispatcher's point after a module:
// each runs for every matching PPI installed since it last ran.
void PeiFoundation::RunDispatchNotifications() {
  bool Ran = true;
  while (Ran) {
    Ran = false;
    for (size_t Notify = 0; Notify < notifications_.size(); Notify++) {
      if ((notifications_[Notify].Descriptor->Flags & EFI_PEI_PPI_DESCRIPTOR_NOTIFY_DISPATCH) ==
          0) {
        continue;
      }
      while (notifications_[Notify].DispatchedUpTo < ppis_.size()) {
        const EFI_PEI_PPI_DESCRIPTOR *Ppi = ppis_[notifications_[Notify].DispatchedUpTo++];
        if (GuidEquals(notifications_[Notify].Descriptor->Guid, Ppi->Guid)) {
          CallNotify(notifications_[Notify].Descriptor, Ppi);
          Ran = true;
        }
      }
    }
  }
}

EFI_STATUS PeiFoundation::DoGetBootMode(EFI_BOOT_MODE *BootMode) {
  if (BootMode == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  *BootMode = bootMode_;
  return EFI_SUCCESS;
}

EFI_STATUS PeiFoundation::DoSetBootMode(EFI_BOOT_MODE BootMode) {
  bootMode_ = BootMode;
  return EFI_SUCCESS;
}

// PEI pool: host memory (8-byte aligned, as the allocator returns it) that
// lives as long as the foundation.
EFI_STATUS PeiFoundation::DoAllocatePool(UINTN Size, VOID **Buffer) {
  PeiCall Call = NewCall(PeiService::AllocatePool, Size);
  Call.Text = "AllocatePool(" + std::to_string(Size) + ")";
  const size_t Line = AddCall(std::move(Call));
  EFI_STATUS Status = EFI_SUCCESS;
  if (Buffer == nullptr) {
    Status = EFI_INVALID_PARAMETER;
  } else if (const std::optional<EFI_STATUS> Fault = poolFaults_.Next()) {
    Status = *Fault;
  } else {
    // Exactly Size bytes, so the sanitizers see an overrun; filled with a
    // pattern, since PEI pool is not cleared.
    poolMemory_.push_back(std::make_unique_for_overwrite<uint8_t[]>(Size == 0 ? 1 : Size));
    std::memset(poolMemory_.back().get(), 0xAF, Size);
    *Buffer = poolMemory_.back().get();
    pool_.push_back({*Buffer, Size});
  }
  CompleteTrace(Line, Status);
  return Status;
}

}  // namespace sim
