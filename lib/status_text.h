// One-line descriptions of VISA status codes, as viStatusDesc hands them out.
#pragma once

#include <kobrant/visa.h>

#include <cstddef>
#include <string>
#include <string_view>

namespace kobrant::visa {

// The description of a status this library can return, or nullptr for a code it does not know.
const char* status_text(ViStatus status);

// A description for any status: the known text, or a generic one naming the number.
std::string describe_status(ViStatus status);

// The description with detail (the system's reason for a failure) appended in parentheses,
// cut so that the whole stays within max_len bytes.
std::string describe_status(ViStatus status, std::string_view detail, std::size_t max_len);

}  // namespace kobrant::visa
