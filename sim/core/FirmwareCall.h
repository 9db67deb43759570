// The one seam through which the simulated platform calls firmware code:
// entry points, notification functions, hook members. In a host build the
// firmware is linked into the simulator and the call is a plain native call;
// when a loaded image runs on an emulated processor, that processor takes
// every call into its code.
#pragma once
#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace sim {

class FirmwareProcessor {
 public:
  virtual ~FirmwareProcessor() = default;
  // Whether `address` lies in code this processor runs.
  virtual bool RunsCode(uintptr_t address) const = 0;
  // Calls the function at `address` with the firmware's calling convention
  // and `count` integer or pointer arguments; returns the return register.
  virtual uint64_t Call(uintptr_t address, const uint64_t *args, size_t count) = 0;
};

namespace firmware_call_detail {
inline FirmwareProcessor *&Slot() {
  static FirmwareProcessor *processor = nullptr;
  return processor;
}
template <class T>
uint64_t Register(T value) {
  if constexpr (std::is_pointer_v<T>) {
    return reinterpret_cast<uintptr_t>(value);
  } else {
    return static_cast<uint64_t>(value);
  }
}
template <class R>
R FromRegister(uint64_t value) {
  if constexpr (std::is_pointer_v<R>) {
    return reinterpret_cast<R>(static_cast<uintptr_t>(value));
  } else {
    return static_cast<R>(value);
  }
}
}  // namespace firmware_call_detail

// The processor that runs loaded images, or null (firmware linked natively).
inline FirmwareProcessor *ActiveFirmwareProcessor() { return firmware_call_detail::Slot(); }
inline void SetActiveFirmwareProcessor(FirmwareProcessor *processor) {
  firmware_call_detail::Slot() = processor;
}

// Calls firmware function `function` with `args`: on the active processor
// when the function is code it runs, natively otherwise.
template <class Function, class... Args>
auto CallFirmware(Function function, Args... args) -> decltype(function(args...)) {
  using Result = decltype(function(args...));
  FirmwareProcessor *processor = ActiveFirmwareProcessor();
  const auto address = reinterpret_cast<uintptr_t>(function);
  if (processor != nullptr && processor->RunsCode(address)) {
    const uint64_t values[sizeof...(Args) + 1] = {firmware_call_detail::Register(args)...};
    const uint64_t result = processor->Call(address, values, sizeof...(Args));
    if constexpr (!std::is_void_v<Result>) {
      return firmware_call_detail::FromRegister<Result>(result);
    }
  } else {
    return function(args...);
  }
}

}  // namespace sim
