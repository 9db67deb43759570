// Instructions of a firmware image found by name: the routine's place from
// the image's linker map, its instructions from its disassembly. Addresses
// are offsets from the image base, so they hold wherever the firmware loads
// the image. Errors throw std::runtime_error.
#pragma once

#include <cstdint>
#include <filesystem>
#include <istream>
#include <string>
#include <vector>

namespace firmware_vm {

struct MapSymbol {
  std::string Name;  // as the map lists it (decorated for C++)
  std::uint64_t Rva = 0;
  bool Code = false;  // placed in the image's first (code) section
};

struct LinkerMap {
  std::uint64_t PreferredBase = 0;
  std::vector<MapSymbol> Symbols;
};

// An lld-link map: the preferred load address and the symbols with their
// offsets from the image base.
LinkerMap ParseLinkerMap(std::istream &Text);

struct Instruction {
  std::uint64_t Rva = 0;
  std::uint64_t NextRva = 0;  // the instruction after it
  std::string Mnemonic;
};

// One instruction per line of "llvm-objdump -d" output ("<address>: <bytes>
// <tab> <mnemonic> <tab> <operands>"), addresses as printed.
std::vector<Instruction> ParseDisassembly(std::istream &Text);

class ImageCode {
 public:
  ImageCode(std::filesystem::path Image, std::filesystem::path Map, std::filesystem::path Objdump);

  // The first instruction with this mnemonic in the routine of that name (a
  // C++ routine matches by its undecorated name).
  Instruction Find(const std::string &Routine, const std::string &Mnemonic) const;
  // Whether the linker kept a routine of that name.
  bool Has(const std::string &Routine) const;

  // The image's entry point, from its PE header.
  std::uint64_t EntryRva() const;

 private:
  std::filesystem::path Image_;
  std::filesystem::path Objdump_;
  std::uint64_t PreferredBase_ = 0;
  std::vector<MapSymbol> Code_;  // by address
};

}  // namespace firmware_vm
