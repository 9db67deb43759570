// The TE form of the PEI module against its PE32 image: made by the build as
// the converter makes it, 40 header bytes in place of the PE headers, and
// loaded at any address it is the same image in memory. Images that cannot
// run in place and damaged TE images are refused with what is wrong.
#include <gtest/gtest.h>

#include <functional>

#include "TestSupport.h"
#include "Bytes.h"
#include "TeConvert.h"
#include "sim/loader/TeImage.h"

namespace fwimage_test {
namespace {

using fwimage::ConvertToTe;

TEST(TeImage, BuildMakesWhatTheConverterMakes) {
  const std::vector<uint8_t> pe = Built("BoardHookPei.efi");
  const std::vector<uint8_t> te = ConvertToTe(pe);
  EXPECT_EQ(te, Built("BoardHookPei.te"));

  const sim::PeImage peImage =
      sim::ParsePeImage(pe, sim::kMachineIa32, sim::kSubsystemEfiBootServiceDriver);
  ASSERT_EQ(te.size(), pe.size() - peImage.sectionTable + sim::kTeHeaderSize);
  // The section table and everything after it, unchanged.
  EXPECT_TRUE(
      std::equal(te.begin() + sim::kTeHeaderSize, te.end(), pe.begin() + peImage.sectionTable));
  const sim::TeHeader header = sim::DecodeTeHeader(te);
  EXPECT_EQ(header.machine, sim::kMachineIa32);
  EXPECT_EQ(header.subsystem, sim::kSubsystemEfiBootServiceDriver);
  EXPECT_EQ(header.strippedSize, peImage.sectionTable);
  EXPECT_EQ(header.sectionCount, peImage.sections.size());
  EXPECT_EQ(header.entryRva, peImage.entryRva);
  EXPECT_EQ(header.baseOfCode, peImage.baseOfCode);
  EXPECT_EQ(header.imageBase, peImage.preferredBase);
  EXPECT_EQ(header.relocations.rva, peImage.relocations.rva);
  EXPECT_EQ(header.relocations.size, peImage.relocations.size);
  EXPECT_NE(header.relocations.size, 0u);
  EXPECT_EQ(header.debug.size, 0u);
}

// Loaded at the same address, the two forms hold the same bytes from the
// first section to the end of the image, relocated alike; the entry lies at
// the same place. Only the headers before the sections differ.
TEST(TeImage, LoadsAsThePeImageDoesAtEveryAddress) {
  const std::vector<uint8_t> pe = Built("BoardHookPei.efi");
  const std::vector<uint8_t> te = Built("BoardHookPei.te");
  const sim::PeImage peImage =
      sim::ParsePeImage(pe, sim::kMachineIa32, sim::kSubsystemEfiBootServiceDriver);
  const sim::PeImage teImage =
      sim::ParseImage(te, sim::kMachineIa32, sim::kSubsystemEfiBootServiceDriver);
  ASSERT_TRUE(teImage.terse);
  EXPECT_EQ(teImage.entryRva, peImage.entryRva);
  EXPECT_EQ(teImage.headerRva + sim::kTeHeaderSize, peImage.sectionTable);
  ASSERT_EQ(teImage.sections.size(), peImage.sections.size());
  // Without the PE header's figures: the image ends with its last section,
  // and its sections' places allow at least the alignment it was linked with.
  EXPECT_LE(teImage.sizeOfImage, peImage.sizeOfImage);
  EXPECT_GT(teImage.sizeOfImage + peImage.sectionAlignment, peImage.sizeOfImage);
  EXPECT_EQ(teImage.sectionAlignment % peImage.sectionAlignment, 0u);
  const uint32_t firstSection = peImage.sections.front().virtualAddress;
  for (const uint64_t address : {0x10000000ull, 0x12345000ull, 0x400000ull}) {
    std::vector<uint8_t> fromPe(peImage.sizeOfImage), fromTe(peImage.sizeOfImage);
    sim::LoadPeImage(peImage, pe, fromPe.data(), address);
    sim::LoadPeImage(teImage, te, fromTe.data(), address);
    EXPECT_TRUE(
        std::equal(fromPe.begin() + firstSection, fromPe.end(), fromTe.begin() + firstSection))
        << std::hex << address;
    // The TE header stands where the PE headers it replaced ended.
    EXPECT_TRUE(std::equal(te.begin(), te.begin() + teImage.sizeOfHeaders,
                           fromTe.begin() + teImage.headerRva));
  }
}

TEST(TeImage, RefusesImagesThatCannotBeMadeTerse) {
  const std::vector<uint8_t> pei = Built("BoardHookPei.efi");
  const sim::PeImage image =
      sim::ParsePeImage(pei, sim::kMachineIa32, sim::kSubsystemEfiBootServiceDriver);
  // The optional header's data directories start 96 bytes in (PE32).
  const size_t directories = image.sectionTable - 16 * 8;
  std::vector<uint8_t> withDebug = pei;
  PutWord(withDebug, directories + 6 * 8, image.relocations.rva, 4);
  PutWord(withDebug, directories + 6 * 8 + 4, 28, 4);
  const struct {
    const char *what;
    std::vector<uint8_t> file;
    std::string message;
  } cases[] = {
      {"the DXE driver: 32-byte file, 4 KiB section alignment", Built("BoardHookDxe.efi"),
       "cannot run in place"},
      {"a debug directory", withDebug, "debug directory"},
      {"the TE image itself", Built("BoardHookPei.te"), "no MZ header"},
  };
  for (const auto &c : cases) {
    ExpectRefused(c.what, c.message, [&] { ConvertToTe(c.file); });
  }
}

TEST(TeImage, RefusesDamagedTeImages) {
  const std::vector<uint8_t> te = Built("BoardHookPei.te");
  // The first section header follows the TE header; its file offset counts
  // from the start of the PE file.
  const size_t section = sim::kTeHeaderSize;
  const struct {
    const char *what;
    std::function<void(std::vector<uint8_t> &)> damage;
    std::string message;
  } cases[] = {
      {"signature", [](auto &f) { f[1] = 'X'; }, "not a PE image nor a TE image"},
      {"cut short", [](auto &f) { f.resize(20); }, "the file ends inside the TE header"},
      {"machine", [](auto &f) { PutWord(f, 2, sim::kMachineX64, 2); }, "machine 0x8664"},
      {"subsystem", [](auto &f) { f[5] = 10; }, "subsystem 10, expected 11"},
      {"stripped size", [](auto &f) { PutWord(f, 6, 8, 2); }, "smaller than the TE header"},
      {"section in the stripped headers", [&](auto &f) { PutWord(f, section + 20, 0x10, 4); },
       "lies in the headers the image left out"},
      {"section past the file", [&](auto &f) { PutWord(f, section + 16, 0x100000, 4); },
       "lies outside the file"},
      {"entry", [](auto &f) { PutWord(f, 8, 0x7FFFFFF, 4); }, "entry point"},
      {"relocations", [](auto &f) { PutWord(f, 28, 0x7FFFFFF, 4); }, "relocation directory"},
  };
  for (const auto &c : cases) {
    std::vector<uint8_t> file = te;
    c.damage(file);
    ExpectRefused<sim::ImageError>(c.what, c.message, [&] {
      sim::ParseImage(file, sim::kMachineIa32, sim::kSubsystemEfiBootServiceDriver);
    });
  }
}

}  // namespace
}  // namespace fwimage_test
