// Legal but suspicious descriptions: worth a word on the standard error,
// never a change of the exit status.
#pragma once
#include <string>
#include <vector>

#include "Board.h"

namespace bootsim {

// An empty description, devices no root port reaches, ID words of all ones.
std::vector<std::string> BoardWarnings(const Board &board);

// Prints each as "boardhook-sim: warning: SOURCE: text".
void PrintBoardWarnings(const Board &board);

}  // namespace bootsim
