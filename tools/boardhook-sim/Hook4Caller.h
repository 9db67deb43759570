// The platform module that calls Hook4, as a board describes it: its two
// buffers, each of the described size and contents, with guard bytes behind
// it so that a driver writing past the buffer is reported instead of
// damaging the simulator, and the MAC lists it finds in them afterwards.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "Board.h"
#include "SimJson.h"

namespace bootsim {

struct ListBuffer {
  explicit ListBuffer(const Hook4Buffer &description);

  size_t size;
  std::vector<uint8_t> initial;  // the contents before the call
  std::vector<uint8_t> bytes;    // the buffer, then the guard

  bool Touched() const;
  bool Overrun() const;
};

// The MAC list at `offset` of a buffer (count byte, then six bytes each), as
// the report shows it; the count is null when the buffer ends before it.
Json MacList(const ListBuffer &buffer, size_t offset);

}  // namespace bootsim
