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
    auto *owner = reinterpret_cast<const BmcIpmiPpiStandIn::Interface *>(This)->self;
    return owner->SendCommand(NetFunction, Lun, Command, RequestData, RequestDataSize, ResponseData,
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

BmcIpmiPpiStandIn::BmcIpmiPpiStandIn(PeiFoundation &pei) : pei_(pei) {
  interface_.ppi.Word0 = reinterpret_cast<VOID *>(BmcThunks::Unsupported);
  interface_.ppi.Word1 = reinterpret_cast<VOID *>(BmcThunks::Unsupported);
  interface_.ppi.Word2 = reinterpret_cast<VOID *>(BmcThunks::Unsupported);
  interface_.ppi.SendCommand = BmcThunks::SendCommand;
  interface_.self = this;
}

void BmcIpmiPpiStandIn::AnswerAfter(unsigned failedAttempts, uint8_t responseLength) {
  answers_ = true;
  failedAttempts_ = failedAttempts;
  responseLength_ = responseLength;
  attempts_ = 0;
  script_.clear();
}

void BmcIpmiPpiStandIn::WriteResponse(UINT8 *responseData, uint8_t length) const {
  for (uint8_t index = 0; index < length; index++) {
    responseData[index] = index < response_.size() ? response_[index] : 0;
  }
}

EFI_STATUS BmcIpmiPpiStandIn::SendCommand(UINT8 netFunction, UINT8 lun, UINT8 command,
                                          UINT8 *requestData, UINT32 requestDataSize,
                                          UINT8 *responseData, UINT8 *responseDataSize) {
  Call record = {.netFunction = netFunction,
                 .lun = lun,
                 .command = command,
                 .request = {},
                 .requestSize = requestDataSize,
                 .responseCapacity = responseDataSize != nullptr ? *responseDataSize : uint8_t{0},
                 .responseLength = 0,
                 .status = EFI_SUCCESS};
  if (requestData != nullptr) {
    const uint32_t recorded =
        requestDataSize < kMaxRecordedRequest ? requestDataSize : kMaxRecordedRequest;
    record.request.assign(requestData, requestData + recorded);
  }
  std::string bytes;
  for (uint8_t byte : record.request) {
    bytes += (bytes.empty() ? "" : " ") + HexText(byte);
  }
  const size_t line = pei_.AddTrace("BmcIpmi.SendCommand(" + HexText(netFunction) + ", " +
                                    HexText(lun) + ", " + HexText(command) + ", [" + bytes + "], " +
                                    std::to_string(record.responseCapacity) + ")");

  if (netFunction != kNetFunctionApplication || command != kCommandMasterWriteRead) {
    record.status = EFI_UNSUPPORTED;
  } else if ((requestDataSize != 0 && requestData == nullptr) || responseData == nullptr ||
             responseDataSize == nullptr) {
    record.status = EFI_INVALID_PARAMETER;
  } else if (!script_.empty()) {
    const Answer &scripted = script_[std::min<size_t>(attempts_++, script_.size() - 1)];
    record.status = scripted.status;
    if (scripted.lengthWritten) {
      if (!EFI_ERROR(scripted.status)) {
        WriteResponse(responseData, std::min(scripted.responseLength, *responseDataSize));
      }
      *responseDataSize = scripted.responseLength;
    }
  } else if (!answers_ || ++attempts_ <= failedAttempts_) {
    record.status = failureStatus_;
  } else if (*responseDataSize < responseLength_) {
    record.status = EFI_BUFFER_TOO_SMALL;
  } else {
    WriteResponse(responseData, responseLength_);
    *responseDataSize = responseLength_;
  }
  record.responseLength = responseDataSize != nullptr ? *responseDataSize : uint8_t{0};
  pei_.CompleteTrace(line, record.status);
  const EFI_STATUS status = record.status;
  calls_.push_back(std::move(record));
  return status;
}

}  // namespace sim
