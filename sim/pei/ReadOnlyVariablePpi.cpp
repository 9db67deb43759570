// Stand-in for EFI_PEI_READ_ONLY_VARIABLE2_PPI.
#include <cstring>

#include "../core/EfiText.h"
#include "PeiStandIns.h"

namespace sim {

struct VariableThunks {
  static ReadOnlyVariablePpiStandIn *Owner(const EFI_PEI_READ_ONLY_VARIABLE2_PPI *This) {
    return reinterpret_cast<const ReadOnlyVariablePpiStandIn::Interface *>(This)->self;
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

std::u16string ReadName(const CHAR16 *name) {
  std::u16string text;
  for (size_t index = 0; name != nullptr && index < kMaxNameLength && name[index] != 0; index++) {
    text.push_back(static_cast<char16_t>(name[index]));
  }
  return text;
}

std::string Narrow(const std::u16string &name) {
  std::string text;
  for (char16_t unit : name) {
    text.push_back(unit < 0x80 ? static_cast<char>(unit) : '?');
  }
  return text;
}

}  // namespace

ReadOnlyVariablePpiStandIn::ReadOnlyVariablePpiStandIn(PeiFoundation &pei) : pei_(pei) {
  interface_.ppi.GetVariable = VariableThunks::GetVariable;
  interface_.ppi.NextVariableName = VariableThunks::NextVariableName;
  interface_.self = this;
}

void ReadOnlyVariablePpiStandIn::SetVariable(const std::u16string &name, const EFI_GUID &guid,
                                             std::vector<uint8_t> data, uint32_t attributes) {
  const Key id = {name, GuidText(guid)};
  variables_[id] = {std::move(data), attributes};
  guids_[id] = guid;
}

void ReadOnlyVariablePpiStandIn::RemoveVariable(const std::u16string &name, const EFI_GUID &guid) {
  variables_.erase({name, GuidText(guid)});
  guids_.erase({name, GuidText(guid)});
}

EFI_STATUS ReadOnlyVariablePpiStandIn::GetVariable(const CHAR16 *variableName,
                                                   const EFI_GUID *variableGuid, UINT32 *attributes,
                                                   UINTN *dataSize, VOID *data) {
  Call record = {.name = ReadName(variableName),
                 .guid = variableGuid != nullptr ? *variableGuid : EFI_GUID{},
                 .attributesWanted = attributes != nullptr,
                 .dataSizeIn = dataSize != nullptr ? *dataSize : 0,
                 .dataSizeOut = 0,
                 .status = EFI_SUCCESS};
  const size_t line = pei_.AddTrace("GetVariable(" + Narrow(record.name) + ", " +
                                    std::to_string(record.dataSizeIn) + ")");
  const auto found = variables_.find({record.name, GuidText(record.guid)});
  if (variableName == nullptr || variableGuid == nullptr || dataSize == nullptr) {
    record.status = EFI_INVALID_PARAMETER;
  } else if (const std::optional<EFI_STATUS> fault = faults_.Next()) {
    record.status = *fault;
  } else if (found == variables_.end()) {
    record.status = EFI_NOT_FOUND;
  } else if (*dataSize < found->second.data.size()) {
    *dataSize = static_cast<UINTN>(found->second.data.size());
    record.status = EFI_BUFFER_TOO_SMALL;
  } else if (data == nullptr) {
    record.status = EFI_INVALID_PARAMETER;
  } else {
    if (!found->second.data.empty()) {
      std::memcpy(data, found->second.data.data(), found->second.data.size());
    }
    *dataSize = static_cast<UINTN>(found->second.data.size());
    if (attributes != nullptr) {
      *attributes = found->second.attributes;
    }
  }
  record.dataSizeOut = dataSize != nullptr ? *dataSize : 0;
  pei_.CompleteTrace(line, record.status);
  calls_.push_back(record);
  return record.status;
}

// Walks the variables in name order; an empty name starts the walk.
EFI_STATUS ReadOnlyVariablePpiStandIn::NextVariableName(UINTN *variableNameSize,
                                                        CHAR16 *variableName,
                                                        EFI_GUID *variableGuid) {
  if (variableNameSize == nullptr || variableName == nullptr || variableGuid == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  const std::u16string current = ReadName(variableName);
  auto next = variables_.begin();
  if (!current.empty()) {
    const auto found = variables_.find({current, GuidText(*variableGuid)});
    if (found == variables_.end()) {
      return EFI_INVALID_PARAMETER;
    }
    next = std::next(found);
  }
  if (next == variables_.end()) {
    return EFI_NOT_FOUND;
  }
  const std::u16string &name = next->first.first;
  const UINTN needed = static_cast<UINTN>((name.size() + 1) * sizeof(CHAR16));
  if (*variableNameSize < needed) {
    *variableNameSize = needed;
    return EFI_BUFFER_TOO_SMALL;
  }
  for (size_t index = 0; index < name.size(); index++) {
    variableName[index] = static_cast<CHAR16>(name[index]);
  }
  variableName[name.size()] = 0;
  *variableNameSize = needed;
  *variableGuid = guids_.at(next->first);
  return EFI_SUCCESS;
}

}  // namespace sim
