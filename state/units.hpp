// The fixed unit system of the code and its equation-of-state constants.
#pragma once

namespace pg {

// Stores the code's units (cgs) and equation-of-state constants in the store.
// They are constants of the program: the units a dump records change nothing.
void unit();

}  // namespace pg
