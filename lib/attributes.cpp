// Attribute store. Values are checked here once, so transports and the read loop can trust them.
#include "attributes.h"

#include <cstring>
#include <string_view>

namespace kobrant::visa {
namespace {

bool is_read_only(ViAttr attr) {
  switch (attr) {
    case VI_ATTR_RSRC_CLASS: case VI_ATTR_RSRC_NAME: case VI_ATTR_RSRC_LOCK_STATE:
    case VI_ATTR_INTF_TYPE: case VI_ATTR_INTF_NUM:
      return true;
    default:
      return false;
  }
}

ViStatus set_flag(bool& flag, ViAttrState value) {
  if (value > 1) return VI_ERROR_NSUP_ATTR_STATE;
  flag = value == 1;
  return VI_SUCCESS;
}

void put_flag(bool flag, void* out) { *static_cast<ViBoolean*>(out) = flag ? VI_TRUE : VI_FALSE; }

}  // namespace

ViStatus put_attribute_string(std::string_view text, void* out) {
  char* dest = static_cast<char*>(out);
  std::size_t n = text.size() < 255 ? text.size() : 255;
  std::memcpy(dest, text.data(), n);
  dest[n] = '\0';
  return VI_SUCCESS;
}

ViStatus set_io_attribute(io_attributes& attrs, const resource_name& name, ViAttr attr, ViAttrState value) {
  if (is_read_only(attr)) return VI_ERROR_ATTR_READONLY;
  switch (attr) {
    case VI_ATTR_TMO_VALUE:
      if (value > 0xFFFFFFFFu) return VI_ERROR_NSUP_ATTR_STATE;
      attrs.timeout_ms = static_cast<ViUInt32>(value);
      return VI_SUCCESS;
    case VI_ATTR_SEND_END_EN: return set_flag(attrs.send_end, value);
    case VI_ATTR_TERMCHAR_EN: return set_flag(attrs.termchar_enabled, value);
    case VI_ATTR_SUPPRESS_END_EN: return set_flag(attrs.suppress_end, value);
    case VI_ATTR_TERMCHAR:
      if (value > 0xFF) return VI_ERROR_NSUP_ATTR_STATE;
      attrs.termchar = static_cast<std::uint8_t>(value);
      return VI_SUCCESS;
    case VI_ATTR_IO_PROT:
      if (value != prot_normal) return VI_ERROR_NSUP_ATTR_STATE;
      attrs.io_protocol = static_cast<ViUInt16>(value);
      return VI_SUCCESS;
    default:
      (void)name;
      return VI_ERROR_NSUP_ATTR;
  }
}

ViStatus get_io_attribute(const io_attributes& attrs, const resource_name& name, ViAttr attr, void* out) {
  switch (attr) {
    case VI_ATTR_TMO_VALUE: *static_cast<ViUInt32*>(out) = attrs.timeout_ms; return VI_SUCCESS;
    case VI_ATTR_SEND_END_EN: put_flag(attrs.send_end, out); return VI_SUCCESS;
    case VI_ATTR_TERMCHAR_EN: put_flag(attrs.termchar_enabled, out); return VI_SUCCESS;
    case VI_ATTR_SUPPRESS_END_EN: put_flag(attrs.suppress_end, out); return VI_SUCCESS;
    case VI_ATTR_TERMCHAR: *static_cast<ViUInt8*>(out) = attrs.termchar; return VI_SUCCESS;
    case VI_ATTR_IO_PROT: *static_cast<ViUInt16*>(out) = attrs.io_protocol; return VI_SUCCESS;
    case VI_ATTR_RSRC_CLASS: return put_attribute_string(name.resource_class, out);
    case VI_ATTR_RSRC_NAME: return put_attribute_string(name.canonical, out);
    case VI_ATTR_RSRC_LOCK_STATE: *static_cast<ViAccessMode*>(out) = VI_NO_LOCK; return VI_SUCCESS;
    case VI_ATTR_INTF_TYPE: *static_cast<ViUInt16*>(out) = name.interface_type; return VI_SUCCESS;
    case VI_ATTR_INTF_NUM: *static_cast<ViUInt16*>(out) = static_cast<ViUInt16>(name.board); return VI_SUCCESS;
    default:
      return VI_ERROR_NSUP_ATTR;
  }
}

}  // namespace kobrant::visa
