// Numbers and bytes as hexadecimal text, as the harness writes them.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace firmware_vm {

// "0x1f" for 31.
inline std::string Hex(std::uint64_t Value) {
  char Text[24];
  std::snprintf(Text, sizeof(Text), "0x%llx", static_cast<unsigned long long>(Value));
  return Text;
}

// Two lower-case digits per byte, in order: "0d0a" for "\r\n".
template <typename Bytes>
std::string HexBytes(const Bytes &Sequence) {
  std::string Text;
  char Digits[3];
  for (auto Byte : Sequence) {
    std::snprintf(Digits, sizeof(Digits), "%02x",
                  static_cast<unsigned>(static_cast<std::uint8_t>(Byte)));
    Text += Digits;
  }
  return Text;
}

}  // namespace firmware_vm
