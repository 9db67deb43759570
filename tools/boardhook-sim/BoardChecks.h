// Checks of a board description that span several tables: the PCI topology
// (root ports where their location tokens point, one function per address,
// bridge bus ranges, BAR windows) and the tokens given twice. Run once the
// reader has read every table; places the root ports' bridges.
#pragma once
#include "Board.h"
#include "BoardSource.h"

namespace bootsim {

// A board holds at most this many PCI functions (devices and bridges).
inline constexpr size_t kMaxPciFunctions = 1024;

void CheckBoard(Board &board, const BoardSource &source);

}  // namespace bootsim
