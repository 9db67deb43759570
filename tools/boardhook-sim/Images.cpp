#include "Images.h"

#include <openssl/evp.h>

#include <cctype>
#include <cstdlib>

#include "Subprocess.h"
#include "sim/loader/PeImage.h"

namespace bootsim {

std::string DefaultImageDirectory() {
  if (const char *directory = std::getenv("BOARDHOOK_IMAGE_DIR")) return directory;
  return BOARDHOOK_IMAGE_DIR_PATH;
}

std::string Sha256Hex(const std::vector<uint8_t> &bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr) != 1) {
    throw SimulatorError("SHA-256 is not available");
  }
  std::string text = HexBytes(digest, length);
  for (char &digit : text)
    digit = static_cast<char>(std::tolower(static_cast<unsigned char>(digit)));
  return text;
}

ImageFile ReadImage(const std::string &path) {
  ImageFile image;
  image.path = path;
  try {
    image.bytes = sim::ReadImageFile(path);
  } catch (const sim::ImageError &error) {
    throw SimulatorError(error.what());
  }
  image.sha256 = Sha256Hex(image.bytes);
  return image;
}

Json BootedJson(const std::optional<ImageFile> &image, uint64_t loadAddress,
                const char *sourceBuild) {
  if (!image) return {{"from_source", true}, {"build", sourceBuild}};
  return {{"from_source", false},
          {"file", image->path},
          {"size", image->bytes.size()},
          {"sha256", image->sha256},
          {"load_address", loadAddress}};
}

}  // namespace bootsim
