// The no-argument form: the usage text and the list of instruments the VISA library can find.
#pragma once

// Prints the usage text on standard output; returns 1, the program's status for this form.
int usage_help();

// Prints the resources the resource manager finds: 0, or -2 after a VISA failure (reported on
// standard error).
int print_list();
