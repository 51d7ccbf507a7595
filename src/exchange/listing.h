// The list of instruments the VISA library can find, printed by the no-argument form after the
// usage text.
#pragma once

// Prints the resources the resource manager finds: 0, or -2 after a VISA failure (reported on
// standard error).
int print_list();
