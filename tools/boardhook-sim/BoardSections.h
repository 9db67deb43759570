// Reads every section of a parsed board description into a Board. Checks
// that span several sections (BoardChecks.h) are not made here.
#pragma once
#include <toml++/toml.h>

#include "Board.h"
#include "BoardSource.h"

namespace bootsim {

Board ReadBoardSections(const toml::table &document, BoardSource &source);

}  // namespace bootsim
