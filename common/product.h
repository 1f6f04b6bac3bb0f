// The product's facts as the C++ code sees them. Each fact is defined once,
// in common/product.json, and reaches the code through the generated
// product_facts.h; subsystem-specific texts live beside the code that shows
// them.
#pragma once

#include "product_facts.h"

// How both executables end, and which case is which. Windows shows neither
// code to the player; they are for whoever started us (a script, the apps
// list, a test).
//   exit_done    the work is done, or the player answered No to the install
//                or uninstall confirmation or to the start prompt: declining
//                is not a failure.
//   exit_failed  something went wrong, and a message box has said what,
//                except where the uninstall could not even find its paths or
//                the system folder. The client's No to the download offer
//                when Edge is missing is a failure too: no browser started.
inline constexpr unsigned exit_done = 0;
inline constexpr unsigned exit_failed = 1;
