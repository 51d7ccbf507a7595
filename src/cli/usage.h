// The usage text, printed by the no-argument form before the instrument listing.
#pragma once

// Prints the usage text on standard output; returns 1, the program's status for this form.
int usage_help();
