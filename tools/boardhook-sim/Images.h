// The firmware images a boot runs: by default the ones built beside the tool
// (BoardHookPei.te, BoardHookDxe.efi and, for --debug-print,
// BoardHookDxeDebugPrint.efi), or any image a user names. The report names
// each by file, size, SHA-256 and load address.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "SimJson.h"

namespace bootsim {

struct ImageFile {
  std::string path;
  std::vector<uint8_t> bytes;
  std::string sha256;  // lowercase hexadecimal
};

// What one boot runs in each phase: an image, or (--from-source) the host
// build of the sources linked into the tool and its PEI runner.
struct FirmwareChoice {
  std::optional<ImageFile> pei;  // empty: the host build
  std::optional<ImageFile> dxe;
};

// The directory of the images built with the tool: BOARDHOOK_IMAGE_DIR, else
// the build's image folder.
std::string DefaultImageDirectory();

// Reads an image file; SimulatorError (exit 3) when it cannot be read,
// BadImage when it is no image of the expected kind.
ImageFile ReadImage(const std::string &path);

std::string Sha256Hex(const std::vector<uint8_t> &bytes);

// The report's description of what a phase booted.
Json BootedJson(const std::optional<ImageFile> &image, uint64_t loadAddress,
                const char *sourceBuild);

}  // namespace bootsim
