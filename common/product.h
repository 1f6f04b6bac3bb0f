// The product's facts as the C++ code sees them. Each fact is defined once,
// in common/product.json, and reaches the code as one LARKSPIRE_ macro of the
// generated product_facts.h; subsystem-specific texts live beside the code
// that shows them.
#pragma once

#include "product_facts.h"

// How both executables end; docs/building.md says which case is which.
inline constexpr unsigned exit_done = 0;
inline constexpr unsigned exit_failed = 1;
