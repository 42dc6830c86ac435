// Helpers of the store's saved settings shared by the core's units.
#pragma once

#include <cstddef>
#include <string>

#include "core/store_internals.h"

namespace korvane_core {

// The Config error for a vector of another length than the store's dimension.
KorvaneError length_error(std::size_t length, std::size_t dim);

}  // namespace korvane_core
