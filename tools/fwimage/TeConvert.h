// The terse (TE) form of a PE32 or PE32+ image: the DOS header, the PE
// headers and everything else before the section table give way to the
// 40-byte TE header; the section table, the sections and the base
// relocations follow unchanged. Only images that run in place can be made
// terse: their sections must lie in the file where they lie in memory.
#pragma once
#include <cstdint>
#include <vector>

namespace fwimage {

// FormatError (or the loader's ImageError) says why an image cannot be made
// terse: not a PE image, imports, a debug directory, sections not laid out
// as in memory, headers or counts beyond what a TE header holds.
std::vector<uint8_t> ConvertToTe(const std::vector<uint8_t> &pe);

}  // namespace fwimage
