// The loader on the built images: the headers read as the build wrote them,
// the image placed and relocated at any aligned address (every relocated
// word moves by the distance, nothing else changes), and damaged files
// refused with what is wrong.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "sim/loader/PeImage.h"

namespace {

std::vector<uint8_t> Built(const char *name) {
  return sim::ReadImageFile(std::string(BOARDHOOK_IMAGE_DIR) + "/" + name);
}

void PutWord(std::vector<uint8_t> &file, size_t offset, uint32_t value, unsigned size) {
  std::memcpy(&file[offset], &value, size);
}

uint32_t PeHeader(const std::vector<uint8_t> &file) {
  uint32_t offset = 0;
  std::memcpy(&offset, &file[0x3C], 4);
  return offset;
}

TEST(PeImageTest, ReadsTheBuiltImages) {
  const std::vector<uint8_t> dxe = Built("BoardHookDxe.efi");
  const sim::PeImage image =
      sim::ParsePeImage(dxe, sim::kMachineX64, sim::kSubsystemEfiBootServiceDriver);
  EXPECT_TRUE(image.pe32Plus);
  EXPECT_NE(image.relocations.size, 0u);
  EXPECT_EQ(image.imports.size, 0u);
  EXPECT_EQ(image.sectionAlignment, 0x1000u);
  bool code = false;
  for (const sim::PeSection &section : image.sections) {
    code = code || (section.characteristics & sim::kSectionExecutable) != 0;
  }
  EXPECT_TRUE(code);

  const sim::PeImage pei = sim::ParsePeImage(Built("BoardHookPei.efi"), sim::kMachineIa32,
                                             sim::kSubsystemEfiBootServiceDriver);
  EXPECT_FALSE(pei.pe32Plus);
  EXPECT_EQ(pei.sectionAlignment, 32u);
}

// Loaded at two addresses, the images differ exactly in their relocated
// words, each by the distance between the addresses.
TEST(PeImageTest, RelocatesForTheLoadAddress) {
  const struct {
    const char *name;
    uint16_t machine;
    unsigned width;
  } images[] = {{"BoardHookDxe.efi", sim::kMachineX64, 8},
                {"BoardHookPei.efi", sim::kMachineIa32, 4}};
  for (const auto &entry : images) {
    const std::vector<uint8_t> file = Built(entry.name);
    const sim::PeImage image =
        sim::ParsePeImage(file, entry.machine, sim::kSubsystemEfiBootServiceDriver);
    std::vector<uint8_t> low(image.sizeOfImage), high(image.sizeOfImage);
    const uint64_t distance = 0x100000;
    sim::LoadPeImage(image, file, low.data(), 0x10000000);
    sim::LoadPeImage(image, file, high.data(), 0x10000000 + distance);
    size_t moved = 0;
    for (size_t offset = 0; offset < low.size();) {
      if (low[offset] == high[offset]) {
        offset++;
        continue;
      }
      // Adding 0x100000 leaves the two low bytes of a word as they are, so
      // the first byte that differs is byte 2 of a relocated word.
      ASSERT_GE(offset, 2u);
      const size_t at = offset - 2;
      uint64_t a = 0, b = 0;
      std::memcpy(&a, &low[at], entry.width);
      std::memcpy(&b, &high[at], entry.width);
      ASSERT_EQ(b - a, distance) << entry.name << ": the word at " << at << " moved wrongly";
      moved++;
      offset = at + entry.width;
    }
    EXPECT_GT(moved, 0u) << entry.name;
  }
}

TEST(PeImageTest, RefusesDamagedImages) {
  const std::vector<uint8_t> dxe = Built("BoardHookDxe.efi");
  const uint32_t pe = PeHeader(dxe);
  const uint32_t optional = pe + 24;
  const struct {
    const char *what;
    std::function<void(std::vector<uint8_t> &)> damage;
    std::string message;
  } cases[] = {
      {"no MZ", [](auto &f) { f[0] = 'X'; }, "no MZ header"},
      {"cut short", [](auto &f) { f.resize(0x50); }, "the file ends inside the PE signature"},
      {"machine", [&](auto &f) { PutWord(f, pe + 4, sim::kMachineIa32, 2); }, "machine 0x14C"},
      {"subsystem", [&](auto &f) { PutWord(f, optional + 68, 10, 2); },
       "subsystem 10, expected 11"},
      {"imports", [&](auto &f) { PutWord(f, optional + 112 + 8 + 4, 40, 4); }, "imports"},
      {"image size", [&](auto &f) { PutWord(f, optional + 56, 0x7FFFFFFF, 4); }, "image size"},
      {"entry", [&](auto &f) { PutWord(f, optional + 16, 0x7FFFFFF, 4); }, "entry point"},
      {"alignment", [&](auto &f) { PutWord(f, optional + 32, 0x1001, 4); }, "not a power of two"},
  };
  for (const auto &c : cases) {
    std::vector<uint8_t> file = dxe;
    c.damage(file);
    try {
      sim::ParsePeImage(file, sim::kMachineX64, sim::kSubsystemEfiBootServiceDriver);
      ADD_FAILURE() << c.what << ": accepted";
    } catch (const sim::ImageError &error) {
      EXPECT_NE(std::string(error.what()).find(c.message), std::string::npos)
          << c.what << ": " << error.what();
    }
  }
}

}  // namespace
