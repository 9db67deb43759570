// The modules' firmware files: the built files read back field by field
// (header and data checksums, state, size, sections and what they hold),
// damaged files refused, and module files without what a dispatcher needs
// refused.
#include <gtest/gtest.h>

#include <functional>
#include <numeric>

#include "TestSupport.h"
#include "Ffs.h"
#include "Module.h"

namespace fwimage_test {
namespace {

using namespace fwimage;

uint8_t Sum8(const std::vector<uint8_t> &bytes, size_t from, size_t to) {
  return static_cast<uint8_t>(std::accumulate(bytes.begin() + from, bytes.begin() + to, 0u));
}

std::vector<uint8_t> SectionTypes(const ParsedFile &file) {
  std::vector<uint8_t> types;
  for (const ParsedSection &section : file.sections) types.push_back(section.type);
  return types;
}

TEST(Ffs, BuiltModuleFilesReadBack) {
  const struct {
    const char *file;
    const char *name;
    const char *image;
    const char *guid;
    uint8_t type;
    std::vector<uint8_t> sections;
    uint16_t machine;
    const char *depex;
  } cases[] = {
      {"BoardHookPei.ffs",
       "BoardHookPei",
       "BoardHookPei.te",
       BOARDHOOK_PEI_FILE_GUID,
       kFileTypePeim,
       // The raw section pads the TE image to its place.
       {kSectionPeiDepex, kSectionRaw, kSectionTe, kSectionUserInterface, kSectionVersion},
       sim::kMachineIa32,
       BOARDHOOK_PEI_DEPEX},
      {"BoardHookDxe.ffs",
       "BoardHookDxe",
       "BoardHookDxe.efi",
       BOARDHOOK_DXE_FILE_GUID,
       kFileTypeDriver,
       {kSectionDxeDepex, kSectionPe32, kSectionUserInterface, kSectionVersion},
       sim::kMachineX64,
       BOARDHOOK_DXE_DEPEX},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.file);
    const std::vector<uint8_t> bytes = Built(c.file);
    // The header: name, type, checksum attribute, size, state for erase
    // polarity 1 (header and data valid, stored inverted).
    EXPECT_EQ(FormatGuid(*ParseGuid(c.guid)), c.guid);
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.begin() + 16, ParseGuid(c.guid)->begin()));
    EXPECT_EQ(bytes[18], c.type);
    EXPECT_EQ(bytes[19] & kFileAttributeChecksum, kFileAttributeChecksum);
    EXPECT_EQ(GetLe(&bytes[20], 3), bytes.size());
    EXPECT_EQ(bytes[23], 0xF8);
    std::vector<uint8_t> header(bytes.begin(), bytes.begin() + kFileHeaderSize);
    header[17] = 0;
    header[23] = 0;
    EXPECT_EQ(Sum8(header, 0, header.size()), 0) << "header checksum";
    EXPECT_EQ(static_cast<uint8_t>(Sum8(bytes, kFileHeaderSize, bytes.size()) + bytes[17]), 0)
        << "data checksum";

    const ParsedFile file = ParseLooseFile(bytes);
    EXPECT_EQ(SectionTypes(file), c.sections);
    const ModuleInfo module = ReadModuleFile(file, c.machine, sim::kSubsystemEfiBootServiceDriver);
    EXPECT_EQ(module.depex, c.depex);
    EXPECT_EQ(module.uiName, c.name);
    EXPECT_EQ(module.version.text, BOARDHOOK_FIRMWARE_VERSION);
    EXPECT_EQ(module.version.buildNumber, BOARDHOOK_FIRMWARE_BUILD_NUMBER);
    const ParsedSection *image = file.Find(module.imageType);
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->data, Built(c.image)) << "the image, byte for byte";
  }
  // The debug-print build is the same module under the same name.
  const ParsedFile debugPrint = ParseLooseFile(Built("BoardHookDxeDebugPrint.ffs"));
  EXPECT_EQ(FormatGuid(debugPrint.name), BOARDHOOK_DXE_FILE_GUID);
  EXPECT_EQ(
      ReadModuleFile(debugPrint, sim::kMachineX64, sim::kSubsystemEfiBootServiceDriver).uiName,
      "BoardHookDxe");
}

TEST(Ffs, RefusesDamagedFiles) {
  const std::vector<uint8_t> pei = Built("BoardHookPei.ffs");
  const struct {
    const char *what;
    std::function<void(std::vector<uint8_t> &)> damage;
    std::string message;
  } cases[] = {
      {"a data byte", [](auto &f) { f[200] ^= 1; }, "data checksum is wrong"},
      {"the type", [](auto &f) { f[18] = kFileTypeDriver; }, "header checksum is wrong"},
      {"deleted", [](auto &f) { f[23] &= ~kFileDeleted; }, "not that of a valid file"},
      {"data not valid", [](auto &f) { f[23] |= kFileDataValid; }, "not marked valid"},
      {"size past the end", [](auto &f) { PutWord(f, 20, f.size() + 8, 3); }, "does not fit"},
      {"no checksum, checksum byte kept",
       [](auto &f) {
         f[19] &= ~kFileAttributeChecksum;
         f[16] = static_cast<uint8_t>(f[16] + kFileAttributeChecksum);
       },
       "not 0xAA"},
      {"a section's size",
       [](auto &f) {
         PutWord(f, kFileHeaderSize, 2, 3);
         f[17] = static_cast<uint8_t>(-Sum8(f, kFileHeaderSize, f.size()));
       },
       "bad size"},
  };
  for (const auto &c : cases) {
    std::vector<uint8_t> file = pei;
    c.damage(file);
    ExpectRefused<FormatError>(c.what, c.message, [&] { ParseLooseFile(file); });
  }
}

// A module file is only read as one when a dispatcher finds in it what it
// needs: one expression of its kind, one image of its kind, the name and
// the version.
TEST(Ffs, RefusesModuleFilesWithoutWhatTheDispatcherNeeds) {
  const ParsedFile pei = ParseLooseFile(Built("BoardHookPei.ffs"));
  const ParsedFile dxe = ParseLooseFile(Built("BoardHookDxe.ffs"));
  auto without = [](ParsedFile file, uint8_t type) {
    std::erase_if(file.sections, [&](const ParsedSection &s) { return s.type == type; });
    return file;
  };
  auto twice = [](ParsedFile file, uint8_t type) {
    file.sections.push_back(*file.Find(type));
    return file;
  };
  ParsedFile peiAsDriver = pei;
  peiAsDriver.type = kFileTypeDriver;
  const struct {
    const char *what;
    ParsedFile file;
    uint16_t machine;
    std::string message;
  } cases[] = {
      {"no expression", without(pei, kSectionPeiDepex), sim::kMachineIa32, "no PEI_DEPEX"},
      {"no name", without(dxe, kSectionUserInterface), sim::kMachineX64, "no USER_INTERFACE"},
      {"two versions", twice(dxe, kSectionVersion), sim::kMachineX64, "more than one VERSION"},
      {"a TE image in a DRIVER file", peiAsDriver, sim::kMachineIa32, "PEI_DEPEX section in a"},
      {"the wrong machine", dxe, sim::kMachineIa32, "machine 0x8664"},
  };
  for (const auto &c : cases) {
    ExpectRefused(c.what, c.message,
                  [&] { ReadModuleFile(c.file, c.machine, sim::kSubsystemEfiBootServiceDriver); });
  }
  // The builder only puts a TE image into a PEIM file.
  ModuleParts parts;
  parts.type = kFileTypePeim;
  parts.uiName = "X";
  parts.version = "1";
  parts.depex = "TRUE";
  parts.image = Built("BoardHookPei.efi");
  EXPECT_THROW(BuildModuleFile(parts), FormatError);
}

TEST(Ffs, NamesAndVersionsAreTerminatedAscii) {
  EXPECT_EQ(UserInterfaceData("Ab"), (Bytes{'A', 0, 'b', 0, 0, 0}));
  EXPECT_EQ(VersionData(0x102, "1"), (Bytes{0x02, 0x01, '1', 0, 0, 0}));
  EXPECT_THROW(UserInterfaceData("caf\xC3\xA9"), FormatError);
  ParsedSection unterminated{kSectionUserInterface, 0, 8, Bytes{'A', 0, 'b', 0}};
  EXPECT_THROW(UserInterfaceText(unterminated), FormatError);
  ParsedSection trailing{kSectionUserInterface, 0, 10, Bytes{'A', 0, 0, 0, 'b', 0}};
  EXPECT_THROW(UserInterfaceText(trailing), FormatError);
}

}  // namespace
}  // namespace fwimage_test
