// The interfaces a dependency expression may name, by the names the
// firmware's code gives their GUIDs (gPcdPpiGuid, ...): the values come from
// the project's own headers, so each GUID keeps one home.
#pragma once
#include <optional>
#include <string>
#include <string_view>

#include "Guid.h"

namespace fwimage {

std::optional<Guid> KnownGuid(std::string_view name);

// The name of a known GUID; nullopt for any other.
std::optional<std::string> KnownGuidName(const Guid &guid);

}  // namespace fwimage
