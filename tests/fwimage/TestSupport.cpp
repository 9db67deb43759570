#include "TestSupport.h"

#include "sim/loader/PeImage.h"

namespace fwimage_test {

std::string BuiltPath(const std::string &name) {
  return std::string(BOARDHOOK_IMAGE_DIR) + "/" + name;
}

std::vector<uint8_t> Built(const std::string &name) { return sim::ReadImageFile(BuiltPath(name)); }

}  // namespace fwimage_test
