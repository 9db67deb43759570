// Firmware volumes: the built volume read back (header, checksum, block
// map, files in order, the PEI module's TE image where it runs in place,
// erased free space), files of every alignment placed on it, and damaged
// volumes refused.
#include <gtest/gtest.h>

#include <functional>

#include "TestSupport.h"
#include "Module.h"
#include "Volume.h"

namespace fwimage_test {
namespace {

using namespace fwimage;

TEST(Volume, BuiltVolumeReadsBack) {
  const std::vector<uint8_t> bytes = Built("BoardHook.fv");
  // The build writes what the writer makes of the built files.
  EXPECT_EQ(bytes, BuildVolume({4096, {Built("BoardHookPei.ffs"), Built("BoardHookDxe.ffs")}}));

  const ParsedVolume volume = ParseVolume(bytes);
  EXPECT_EQ(volume.fileSystem, FileSystem2Guid());
  EXPECT_EQ(volume.revision, 2);
  EXPECT_EQ(volume.length, bytes.size());
  EXPECT_EQ(volume.length % 4096, 0u);
  ASSERT_EQ(volume.blockMap.size(), 1u);
  EXPECT_EQ(volume.blockMap[0].length, 4096u);
  EXPECT_EQ(uint64_t{volume.blockMap[0].count} * 4096, volume.length);
  EXPECT_EQ(volume.headerLength, 72);
  EXPECT_TRUE(volume.ErasePolarity());
  EXPECT_EQ(volume.attributes & (kVolumeReadStatus | kVolumeMemoryMapped),
            kVolumeReadStatus | kVolumeMemoryMapped);
  uint16_t sum = 0;
  for (size_t at = 0; at < volume.headerLength; at += 2) {
    sum = static_cast<uint16_t>(sum + GetLe(&bytes[at], 2));
  }
  EXPECT_EQ(sum, 0) << "header checksum";

  // A pad file puts the PEI module's data on its 128-byte alignment.
  ASSERT_EQ(volume.files.size(), 3u);
  EXPECT_EQ(volume.files[0].type, kFileTypePad);
  const ParsedFile &pei = volume.files[1];
  const ParsedFile &dxe = volume.files[2];
  EXPECT_EQ(FormatGuid(pei.name), BOARDHOOK_PEI_FILE_GUID);
  EXPECT_EQ(FormatGuid(dxe.name), BOARDHOOK_DXE_FILE_GUID);
  EXPECT_EQ(pei.alignment, 128u);
  EXPECT_EQ((pei.offset + kFileHeaderSize) % 128, 0u);
  EXPECT_EQ(volume.Alignment(), 128u);
  for (const ParsedFile &file : volume.files) EXPECT_EQ(file.offset % 8, 0u);

  // Run in place from the volume, the TE image's offset 0 falls on its
  // sections' alignment.
  const ModuleInfo module =
      ReadModuleFile(pei, sim::kMachineIa32, sim::kSubsystemEfiBootServiceDriver);
  const int64_t imageStart =
      static_cast<int64_t>(pei.offset + module.imageOffset) - module.image.headerRva;
  EXPECT_EQ(imageStart % module.image.sectionAlignment, 0);
  EXPECT_EQ(ReadModuleFile(dxe, sim::kMachineX64, sim::kSubsystemEfiBootServiceDriver).depex,
            BOARDHOOK_DXE_DEPEX);

  const size_t end = dxe.offset + dxe.size;
  EXPECT_EQ(volume.freeSpace, bytes.size() - ((end + 7) / 8 * 8));
  EXPECT_TRUE(std::all_of(bytes.begin() + end, bytes.end(), [](uint8_t b) { return b == 0xFF; }));
}

// Files whose data must be aligned, after files of every length: each data
// start falls on its alignment, with a pad file where the gap is wider than
// the 8-byte alignment of files, and the volume states the largest.
TEST(Volume, PlacesFilesOnTheirAlignment) {
  auto file = [](uint8_t fill, size_t length, uint32_t alignment) {
    FileParts parts;
    parts.name.fill(fill);
    parts.type = kFileTypeDriver;
    parts.sections.push_back({kSectionRaw, Bytes(length, fill), alignment, 0});
    return BuildFile(parts);
  };
  const struct {
    std::vector<Bytes> files;
    uint32_t blockSize;
    uint32_t volumeAlignment;
  } cases[] = {
      {{file(1, 1, 1), file(2, 3, 16), file(3, 5, 128)}, 4096, 128},
      {{file(1, 40, 4096), file(2, 7, 16)}, 512, 4096},
      {{file(1, 100, 1), file(2, 1, 1)}, 64, 8},
      {{file(1, 9, 512), file(2, 31, 1024), file(3, 2, 16), file(4, 70, 128)}, 1024, 1024},
  };
  for (const auto &c : cases) {
    const Bytes bytes = BuildVolume({c.blockSize, c.files});
    const ParsedVolume volume = ParseVolume(bytes);
    EXPECT_EQ(volume.length % c.blockSize, 0u);
    EXPECT_EQ(volume.Alignment(), c.volumeAlignment);
    size_t placed = 0;
    for (const ParsedFile &parsed : volume.files) {
      if (parsed.type == kFileTypePad) {
        EXPECT_GE(parsed.size, kFileHeaderSize);
        continue;
      }
      ASSERT_LT(placed, c.files.size());
      const Bytes &wanted = c.files[placed++];
      EXPECT_EQ((parsed.offset + kFileHeaderSize) % parsed.alignment, 0u);
      EXPECT_TRUE(std::equal(wanted.begin(), wanted.end(), bytes.begin() + parsed.offset));
      // The raw section's data falls on the file's alignment too.
      ASSERT_EQ(parsed.sections.back().type, kSectionRaw);
      EXPECT_EQ(
          (parsed.offset + parsed.sections.back().offset + kSectionHeaderSize) % parsed.alignment,
          0u);
    }
    EXPECT_EQ(placed, c.files.size());
  }
}

TEST(Volume, RefusesDamagedVolumes) {
  const std::vector<uint8_t> volume = Built("BoardHook.fv");
  // Changes a header field and mends the checksum, so only the field is
  // wrong.
  auto field = [](size_t offset, uint64_t value, unsigned size) {
    return [=](std::vector<uint8_t> &f) {
      PutWord(f, offset, value, size);
      PutWord(f, 50, 0, 2);
      uint16_t sum = 0;
      for (size_t at = 0; at < 72; at += 2) sum = static_cast<uint16_t>(sum + GetLe(&f[at], 2));
      PutWord(f, 50, static_cast<uint16_t>(-sum), 2);
    };
  };
  const struct {
    const char *what;
    std::function<void(std::vector<uint8_t> &)> damage;
    std::string message;
  } cases[] = {
      {"signature", [](auto &f) { f[40] = 'X'; }, "no volume signature"},
      {"header checksum", [](auto &f) { f[50] ^= 1; }, "header checksum is wrong"},
      {"file system", field(16, 0, 8), "is not FFS"},
      {"length", field(32, 0x2000, 8), "in the header"},
      {"revision", field(55, 1, 1), "revision 1"},
      {"block count", field(56, 2, 4), "the block map covers"},
      {"block map end", field(64, 0x100000000001ull, 8), "no end entry"},
      {"zero vector", field(0, 1, 1), "zero vector"},
      {"a byte in the free space", [](auto &f) { f[f.size() - 1] = 0; }, "after the free space"},
      {"a file's checksum", [](auto &f) { f[0x200] ^= 1; }, "checksum is wrong"},
  };
  for (const auto &c : cases) {
    std::vector<uint8_t> bytes = volume;
    c.damage(bytes);
    ExpectRefused<FormatError>(c.what, c.message, [&] { ParseVolume(bytes); });
  }
}

}  // namespace
}  // namespace fwimage_test
