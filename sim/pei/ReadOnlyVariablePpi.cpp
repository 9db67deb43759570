// Stand-in for EFI_PEI_READ_ONLY_VARIABLE2_PPI.
#include <cstring>

#include "../core/EfiText.h"
#include "PeiStandIns.h"

namespace sim {

struct VariableThunks {
  static ReadOnlyVariablePpiStandIn *Owner(const EFI_PEI_READ_ONLY_VARIABLE2_PPI *This) {
    return reinterpret_cast<const ReadOnlyVariablePpiStandIn::Interface *>(This)->Self;
  }
  static EFI_STATUS EFIAPI GetVariable(const EFI_PEI_READ_ONLY_VARIABLE2_PPI *This,
                                       const CHAR16 *VariableName, const EFI_GUID *VariableGuid,
                                       UINT32 *Attributes, UINTN *DataSize, VOID *Data) {
    return Owner(This)->GetVariable(VariableName, VariableGuid, Attributes, DataSize, Data);
  }
  static EFI_STATUS EFIAPI NextVariableName(const EFI_PEI_READ_ONLY_VARIABLE2_PPI *This,
                                            UINTN *VariableNameSize, CHAR16 *VariableName,
                                            EFI_GUID *VariableGuid) {
    return Owner(This)->NextVariableName(VariableNameSize, VariableName, VariableGuid);
  }
};

namespace {

// Names longer than this are not read further (a name without its end).
constexpr size_t kMaxNameLength = 1024;

std::u16string ReadName(const CHAR16 *Name) {
  std::u16string Text;
  for (size_t Index = 0; Name != nullptr && Index < kMaxNameLength && Name[Index] != 0; Index++) {
    Text.push_back(static_cast<char16_t>(Name[Index]));
  }
  return Text;
}

std::string Narrow(const std::u16string &Name) {
  std::string Text;
  for (char16_t Char : Name) {
    Text.push_back(Char < 0x80 ? static_cast<char>(Char) : '?');
  }
  return Text;
}

}  // namespace

ReadOnlyVariablePpiStandIn::ReadOnlyVariablePpiStandIn(PeiFoundation &Pei) : pei_(Pei) {
  interface_.Ppi.GetVariable = VariableThunks::GetVariable;
  interface_.Ppi.NextVariableName = VariableThunks::NextVariableName;
  interface_.Self = this;
}

void ReadOnlyVariablePpiStandIn::SetVariable(const std::u16string &Name, const EFI_GUID &Guid,
                                             std::vector<uint8_t> Data, uint32_t Attributes) {
  const Key Id = {Name, GuidText(Guid)};
  variables_[Id] = {std::move(Data), Attributes};
  guids_[Id] = Guid;
}

void ReadOnlyVariablePpiStandIn::RemoveVariable(const std::u16string &Name, const EFI_GUID &Guid) {
  variables_.erase({Name, GuidText(Guid)});
  guids_.erase({Name, GuidText(Guid)});
}

EFI_STATUS ReadOnlyVariablePpiStandIn::GetVariable(const CHAR16 *VariableName,
                                                   const EFI_GUID *VariableGuid, UINT32 *Attributes,
                                                   UINTN *DataSize, VOID *Data) {
  Call Record = {.Name = ReadName(VariableName),
                 .Guid = VariableGuid != nullptr ? *VariableGuid : EFI_GUID{},
                 .AttributesWanted = Attributes != nullptr,
                 .DataSizeIn = DataSize != nullptr ? *DataSize : 0,
                 .DataSizeOut = 0,
                 .Status = EFI_SUCCESS};
  const size_t Line = pei_.AddTrace("GetVariable(" + Narrow(Record.Name) + ", " +
                                    std::to_string(Record.DataSizeIn) + ")");
  const auto Found = variables_.find({Record.Name, GuidText(Record.Guid)});
  if (VariableName == nullptr || VariableGuid == nullptr || DataSize == nullptr) {
    Record.Status = EFI_INVALID_PARAMETER;
  } else if (const std::optional<EFI_STATUS> Fault = faults_.Next()) {
    Record.Status = *Fault;
  } else if (Found == variables_.end()) {
    Record.Status = EFI_NOT_FOUND;
  } else if (*DataSize < Found->second.Data.size()) {
    *DataSize = static_cast<UINTN>(Found->second.Data.size());
    Record.Status = EFI_BUFFER_TOO_SMALL;
  } else if (Data == nullptr) {
    Record.Status = EFI_INVALID_PARAMETER;
  } else {
    if (!Found->second.Data.empty()) {
      std::memcpy(Data, Found->second.Data.data(), Found->second.Data.size());
    }
    *DataSize = static_cast<UINTN>(Found->second.Data.size());
    if (Attributes != nullptr) {
      *Attributes = Found->second.Attributes;
    }
  }
  Record.DataSizeOut = DataSize != nullptr ? *DataSize : 0;
  pei_.CompleteTrace(Line, Record.Status);
  calls_.push_back(Record);
  return Record.Status;
}

// Walks the variables in name order; an empty name starts the walk.
EFI_STATUS ReadOnlyVariablePpiStandIn::NextVariableName(UINTN *VariableNameSize,
                                                        CHAR16 *VariableName,
                                                        EFI_GUID *VariableGuid) {
  if (VariableNameSize == nullptr || VariableName == nullptr || VariableGuid == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  const std::u16string Current = ReadName(VariableName);
  auto Next = variables_.begin();
  if (!Current.empty()) {
    const auto Found = variables_.find({Current, GuidText(*VariableGuid)});
    if (Found == variables_.end()) {
      return EFI_INVALID_PARAMETER;
    }
    Next = std::next(Found);
  }
  if (Next == variables_.end()) {
    return EFI_NOT_FOUND;
  }
  const std::u16string &Name = Next->first.first;
  const UINTN Needed = static_cast<UINTN>((Name.size() + 1) * sizeof(CHAR16));
  if (*VariableNameSize < Needed) {
    *VariableNameSize = Needed;
    return EFI_BUFFER_TOO_SMALL;
  }
  for (size_t Index = 0; Index < Name.size(); Index++) {
    VariableName[Index] = static_cast<CHAR16>(Name[Index]);
  }
  VariableName[Name.size()] = 0;
  *VariableNameSize = Needed;
  *VariableGuid = guids_.at(Next->first);
  return EFI_SUCCESS;
}

}  // namespace sim
