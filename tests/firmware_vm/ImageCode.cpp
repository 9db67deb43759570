#include "ImageCode.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>

#include "HexText.h"

namespace firmware_vm {

namespace fs = std::filesystem;

namespace {

std::uint64_t ParseHex(const std::string &Text) { return std::stoull(Text, nullptr, 16); }

// "0001:00001d38": section and offset of a symbol.
bool IsSectionOffset(const std::string &Word) {
  return Word.size() == 13 && Word[4] == ':' &&
         std::all_of(Word.begin(), Word.end(), [](char C) { return C == ':' || isxdigit(C); });
}

// "?HwReadMsr@@YA_KI@Z" is the C++ routine HwReadMsr at namespace scope.
bool NamesRoutine(const std::string &Symbol, const std::string &Routine) {
  return Symbol == Routine || Symbol.rfind("?" + Routine + "@@", 0) == 0;
}

std::string Capture(const std::string &Command) {
  std::unique_ptr<FILE, int (*)(FILE *)> Pipe(popen(Command.c_str(), "r"), pclose);
  if (!Pipe) {
    throw std::runtime_error("cannot run " + Command);
  }
  std::string Output;
  char Buffer[4096];
  std::size_t Count;
  while ((Count = fread(Buffer, 1, sizeof(Buffer), Pipe.get())) > 0) {
    Output.append(Buffer, Count);
  }
  return Output;
}

}  // namespace

LinkerMap ParseLinkerMap(std::istream &Text) {
  LinkerMap Map;
  std::string Line;
  const std::string PreferredBase = "Preferred load address is ";
  while (std::getline(Text, Line)) {
    std::size_t At = Line.find(PreferredBase);
    if (At != std::string::npos) {
      Map.PreferredBase = ParseHex(Line.substr(At + PreferredBase.size()));
      continue;
    }
    std::istringstream Words(Line);
    std::string Place, Name, Address;
    if (!(Words >> Place >> Name >> Address) || !IsSectionOffset(Place) ||
        !std::all_of(Address.begin(), Address.end(), isxdigit)) {
      continue;
    }
    std::uint64_t Absolute = ParseHex(Address);
    if (Absolute < Map.PreferredBase) {
      continue;  // the section table's lines: start, length, name
    }
    Map.Symbols.push_back({Name, Absolute - Map.PreferredBase, Place.rfind("0001:", 0) == 0});
  }
  return Map;
}

std::vector<Instruction> ParseDisassembly(std::istream &Text) {
  std::vector<Instruction> Instructions;
  std::string Line;
  while (std::getline(Text, Line)) {
    std::size_t Colon = Line.find(": ");
    std::size_t Tab = Line.find('\t');
    if (Colon == std::string::npos || Tab == std::string::npos || Tab < Colon) {
      continue;
    }
    std::string Address = Line.substr(0, Colon);
    Address.erase(0, Address.find_first_not_of(' '));
    if (Address.empty() || !std::all_of(Address.begin(), Address.end(), isxdigit)) {
      continue;
    }
    std::istringstream Bytes(Line.substr(Colon + 2, Tab - Colon - 2));
    std::string Byte;
    std::uint64_t Length = 0;
    while (Bytes >> Byte) {
      Length++;
    }
    std::string Rest = Line.substr(Tab + 1);
    std::string Mnemonic = Rest.substr(0, Rest.find('\t'));
    if (Length == 0 || Mnemonic.empty()) {
      continue;
    }
    std::uint64_t Rva = ParseHex(Address);
    Instructions.push_back({Rva, Rva + Length, Mnemonic});
  }
  return Instructions;
}

ImageCode::ImageCode(fs::path Image, fs::path Map, fs::path Objdump)
    : Image_(std::move(Image)), Objdump_(std::move(Objdump)) {
  std::ifstream Stream(Map);
  if (!Stream) {
    throw std::runtime_error("no linker map " + Map.string());
  }
  LinkerMap Parsed = ParseLinkerMap(Stream);
  PreferredBase_ = Parsed.PreferredBase;
  for (MapSymbol &Symbol : Parsed.Symbols) {
    if (Symbol.Code) {
      Code_.push_back(std::move(Symbol));
    }
  }
  std::sort(Code_.begin(), Code_.end(),
            [](const MapSymbol &A, const MapSymbol &B) { return A.Rva < B.Rva; });
}

std::uint64_t ImageCode::EntryRva() const {
  std::ifstream Stream(Image_, std::ios::binary);
  auto Read32 = [&](std::uint64_t Offset) {
    unsigned char Bytes[4] = {};
    Stream.seekg(static_cast<std::streamoff>(Offset));
    Stream.read(reinterpret_cast<char *>(Bytes), sizeof(Bytes));
    if (!Stream) {
      throw std::runtime_error("cannot read the PE header of " + Image_.string());
    }
    return std::uint64_t{Bytes[0]} | std::uint64_t{Bytes[1]} << 8 | std::uint64_t{Bytes[2]} << 16 |
           std::uint64_t{Bytes[3]} << 24;
  };
  // The signature, the COFF header, then AddressOfEntryPoint 16 bytes into
  // the optional header.
  return Read32(Read32(0x3C) + 4 + 20 + 16);
}

bool ImageCode::Has(const std::string &Routine) const {
  return std::any_of(Code_.begin(), Code_.end(),
                     [&](const MapSymbol &Each) { return NamesRoutine(Each.Name, Routine); });
}

Instruction ImageCode::Find(const std::string &Routine, const std::string &Mnemonic) const {
  auto Symbol = std::find_if(Code_.begin(), Code_.end(), [&](const MapSymbol &Each) {
    return NamesRoutine(Each.Name, Routine);
  });
  if (Symbol == Code_.end()) {
    throw std::runtime_error(Routine + " is not in the linker map of " + Image_.string());
  }
  // The routine ends where the next one starts; the last one is read to
  // the end of the section.
  auto Next = std::find_if(Symbol, Code_.end(),
                           [&](const MapSymbol &Each) { return Each.Rva > Symbol->Rva; });
  std::string Command =
      "'" + Objdump_.string() + "' -d --start-address=" + Hex(PreferredBase_ + Symbol->Rva);
  if (Next != Code_.end()) {
    Command += " --stop-address=" + Hex(PreferredBase_ + Next->Rva);
  }
  Command += " '" + Image_.string() + "'";
  std::istringstream Listing(Capture(Command));
  for (Instruction Each : ParseDisassembly(Listing)) {
    if (Each.Mnemonic == Mnemonic) {
      Each.Rva -= PreferredBase_;
      Each.NextRva -= PreferredBase_;
      return Each;
    }
  }
  throw std::runtime_error("no " + Mnemonic + " in " + Routine + " of " + Image_.string());
}

}  // namespace firmware_vm
