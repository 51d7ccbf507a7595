// Option scanning and checks. Numbers are digits only: a sign, a space or a suffix is refused,
// and so is a value beyond 32 bits, which would otherwise wrap into a small or zero buffer.
#include "cli/options.h"

#include <cstdio>
#include <cstring>

namespace {

// Value switches match on their first three characters; the value is the rest.
const char* value_of(const char* arg, const char* prefix) {
  return std::strncmp(arg, prefix, 3) == 0 ? arg + 3 : nullptr;
}

}  // namespace

run_options parse_options(int argc, char** argv) {
  run_options options;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (!arg) continue;
    if (const char* v = value_of(arg, "/a=")) options.address = v;
    if (const char* v = value_of(arg, "/c=")) options.command = v;
    if (const char* v = value_of(arg, "/t=")) options.timeout_text = v;
    if (const char* v = value_of(arg, "/b=")) options.buffer_text = v;
    if (const char* v = value_of(arg, "/o=")) options.output_path = v;
    if (std::strcmp(arg, "/l") == 0) options.no_echo = true;
    if (std::strcmp(arg, "/w") == 0) options.no_auto_query = true;
    if (std::strcmp(arg, "/r") == 0) options.force_read = true;
  }
  return options;
}

bool parse_decimal_u32(const char* text, std::uint32_t& value) {
  std::uint64_t total = 0;
  for (const char* p = text; *p; ++p) {
    if (*p < '0' || *p > '9') return false;
    total = total * 10 + static_cast<std::uint64_t>(*p - '0');
    if (total > 0xFFFFFFFFu) return false;
  }
  value = static_cast<std::uint32_t>(total);
  return true;
}

namespace {

// Why a numeric value was refused: a value of digits only can only have been too large.
std::string number_fault(const char* name, const char* text) {
  const bool digits_only = std::strspn(text, "0123456789") == std::strlen(text);
  return std::string(name) + text + (digits_only ? ": too large (at most 4294967295)"
                                                 : ": not a decimal number");
}

}  // namespace

bool check_options(run_options& options, std::string* reason) {
  std::string number_reason;
  if (options.buffer_text) {
    std::uint32_t size = 0;
    if (parse_decimal_u32(options.buffer_text, size)) {
      options.buffer_size = size == 0 ? default_buffer_size : size;
    } else {
      number_reason = number_fault("/b=", options.buffer_text);
    }
  }
  if (options.timeout_text) {
    std::uint32_t timeout = 0;
    if (parse_decimal_u32(options.timeout_text, timeout)) {
      if (number_reason.empty()) options.timeout_ms = timeout;
    } else if (number_reason.empty()) {
      number_reason = number_fault("/t=", options.timeout_text);
    }
  }
  const char* missing = nullptr;
  if (!options.address) {
    missing = "Missing /a=: the instrument address is required";
  } else if (!options.command && !options.force_read) {
    missing = "Missing /c=: a command is required unless /r is given";
  }
  if (!missing && number_reason.empty()) return true;
  if (reason) *reason = missing ? std::string(missing) : number_reason;
  return false;
}

int reject_arguments(const std::string& reason) {
  std::puts("bad argument");
  std::fflush(stdout);  // the reason follows the verdict when both reach one terminal
  std::fprintf(stderr, "%s\n", reason.c_str());
  return -1;
}
