// One-line descriptions of VISA status codes, as viStatusDesc hands them out.
#pragma once

#include "visa/visa.h"

#include <string>

namespace kobrant::visa {

// The description of a status this library can return, or nullptr for a code it does not know.
const char* status_text(ViStatus status);

// A description for any status: the known text, or a generic one naming the number.
std::string describe_status(ViStatus status);

}  // namespace kobrant::visa
