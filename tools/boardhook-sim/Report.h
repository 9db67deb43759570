// The report for people: the JSON report of Boot.h rendered as text, the
// same facts in the same order. With `trace` the full service and
// hardware-access traces follow each phase.
#pragma once
#include <string>

#include "SimJson.h"

namespace bootsim {

std::string RenderText(const Json &report, bool trace);

}  // namespace bootsim
