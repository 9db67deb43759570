// Stand-in for the BMC's IPMI transport PPI.
#include <algorithm>
#include <cstring>

#include "../core/EfiText.h"
#include "PeiStandIns.h"

namespace sim {

struct BmcThunks {
  static EFI_STATUS EFIAPI SendCommand(BMC_IPMI_PPI *This, UINT8 NetFunction, UINT8 Lun,
                                       UINT8 Command, UINT8 *RequestData, UINT32 RequestDataSize,
                                       UINT8 *ResponseData, UINT8 *ResponseDataSize) {
    auto *Owner = reinterpret_cast<const BmcIpmiPpiStandIn::Interface *>(This)->Self;
    return Owner->SendCommand(NetFunction, Lun, Command, RequestData, RequestDataSize, ResponseData,
                              ResponseDataSize);
  }
  static EFI_STATUS EFIAPI Unsupported() { return EFI_UNSUPPORTED; }
};

namespace {
constexpr uint8_t kNetFunctionApplication = 0x06;
constexpr uint8_t kCommandMasterWriteRead = 0x52;
// Requests longer than this are recorded only up to it.
constexpr uint32_t kMaxRecordedRequest = 256;
}  // namespace

BmcIpmiPpiStandIn::BmcIpmiPpiStandIn(PeiFoundation &Pei) : pei_(Pei) {
  interface_.Ppi.Word0 = reinterpret_cast<VOID *>(BmcThunks::Unsupported);
  interface_.Ppi.Word1 = reinterpret_cast<VOID *>(BmcThunks::Unsupported);
  interface_.Ppi.Word2 = reinterpret_cast<VOID *>(BmcThunks::Unsupported);
  interface_.Ppi.SendCommand = BmcThunks::SendCommand;
  interface_.Self = this;
}

void BmcIpmiPpiStandIn::AnswerAfter(unsigned FailedAttempts, uint8_t ResponseLength) {
  answers_ = true;
  failedAttempts_ = FailedAttempts;
  responseLength_ = ResponseLength;
  attempts_ = 0;
  script_.clear();
}

void BmcIpmiPpiStandIn::WriteResponse(UINT8 *ResponseData, uint8_t Length) const {
  for (uint8_t Index = 0; Index < Length; Index++) {
    ResponseData[Index] = Index < response_.size() ? response_[Index] : 0;
  }
}

EFI_STATUS BmcIpmiPpiStandIn::SendCommand(UINT8 NetFunction, UINT8 Lun, UINT8 Command,
                                          UINT8 *RequestData, UINT32 RequestDataSize,
                                          UINT8 *ResponseData, UINT8 *ResponseDataSize) {
  Call Record = {.NetFunction = NetFunction,
                 .Lun = Lun,
                 .Command = Command,
                 .Request = {},
                 .RequestSize = RequestDataSize,
                 .ResponseCapacity = ResponseDataSize != nullptr ? *ResponseDataSize : uint8_t{0},
                 .ResponseLength = 0,
                 .Status = EFI_SUCCESS};
  if (RequestData != nullptr) {
    const uint32_t Recorded =
        RequestDataSize < kMaxRecordedRequest ? RequestDataSize : kMaxRecordedRequest;
    Record.Request.assign(RequestData, RequestData + Recorded);
  }
  std::string Bytes;
  for (uint8_t Byte : Record.Request) {
    Bytes += (Bytes.empty() ? "" : " ") + HexText(Byte);
  }
  const size_t Line = pei_.AddTrace("BmcIpmi.SendCommand(" + HexText(NetFunction) + ", " +
                                    HexText(Lun) + ", " + HexText(Command) + ", [" + Bytes + "], " +
                                    std::to_string(Record.ResponseCapacity) + ")");

  if (NetFunction != kNetFunctionApplication || Command != kCommandMasterWriteRead) {
    Record.Status = EFI_UNSUPPORTED;
  } else if ((RequestDataSize != 0 && RequestData == nullptr) || ResponseData == nullptr ||
             ResponseDataSize == nullptr) {
    Record.Status = EFI_INVALID_PARAMETER;
  } else if (!script_.empty()) {
    const Answer &Scripted = script_[std::min<size_t>(attempts_++, script_.size() - 1)];
    Record.Status = Scripted.Status;
    if (Scripted.LengthWritten) {
      if (!EFI_ERROR(Scripted.Status)) {
        WriteResponse(ResponseData, std::min(Scripted.ResponseLength, *ResponseDataSize));
      }
      *ResponseDataSize = Scripted.ResponseLength;
    }
  } else if (!answers_ || ++attempts_ <= failedAttempts_) {
    Record.Status = failureStatus_;
  } else if (*ResponseDataSize < responseLength_) {
    Record.Status = EFI_BUFFER_TOO_SMALL;
  } else {
    WriteResponse(ResponseData, responseLength_);
    *ResponseDataSize = responseLength_;
  }
  Record.ResponseLength = ResponseDataSize != nullptr ? *ResponseDataSize : uint8_t{0};
  pei_.CompleteTrace(Line, Record.Status);
  const EFI_STATUS Status = Record.Status;
  calls_.push_back(std::move(Record));
  return Status;
}

}  // namespace sim
