// The attribute store of an I/O session: the standard attributes every session has, their
// defaults, their checks, and the read-only ones every resource name gives (class, name,
// interface). Attributes of one interface's address are answered by its transport rows.
#pragma once

#include "resource_name.h"
#include <kobrant/visa.h>

#include <cstdint>
#include <string_view>

namespace kobrant::visa {

inline constexpr ViUInt16 prot_normal = 1;  // VI_PROT_NORMAL

struct io_attributes {
  ViUInt32 timeout_ms = 2000;      // VI_ATTR_TMO_VALUE
  bool send_end = true;            // VI_ATTR_SEND_END_EN
  std::uint8_t termchar = '\n';    // VI_ATTR_TERMCHAR
  bool termchar_enabled = false;   // VI_ATTR_TERMCHAR_EN
  bool suppress_end = false;       // VI_ATTR_SUPPRESS_END_EN
  ViUInt16 io_protocol = prot_normal;  // VI_ATTR_IO_PROT
};

// Sets one of the store's attributes: VI_SUCCESS, VI_ERROR_NSUP_ATTR_STATE for a value out of
// range, VI_ERROR_ATTR_READONLY, or VI_ERROR_NSUP_ATTR for an attribute it does not know.
ViStatus set_io_attribute(io_attributes& attrs, const resource_name& name, ViAttr attr, ViAttrState value);

// Writes text, zero-terminated and cut to 255 bytes, to out: the caller's buffer, which string
// attributes size at 256 bytes. Returns VI_SUCCESS.
ViStatus put_attribute_string(std::string_view text, void* out);

// Writes the attribute's value, in the attribute's own type, to out.
ViStatus get_io_attribute(const io_attributes& attrs, const resource_name& name, ViAttr attr, void* out);

}  // namespace kobrant::visa
