// Byte classes and case as the "C" locale has them, whatever locale the process runs in.
// Resource names, find expressions and sysfs attributes are ASCII, and a program that loads the
// library may have set a locale with other rules: in a Turkish one, 'i' has no upper case among
// single bytes, and "tcpip" would not match "TCPIP" through the C library's toupper.
#pragma once

namespace kobrant::visa::ascii {

constexpr bool is_digit(char c) { return c >= '0' && c <= '9'; }
constexpr bool is_upper(char c) { return c >= 'A' && c <= 'Z'; }
constexpr bool is_lower(char c) { return c >= 'a' && c <= 'z'; }
constexpr bool is_alnum(char c) { return is_digit(c) || is_upper(c) || is_lower(c); }
constexpr bool is_xdigit(char c) { return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
constexpr bool is_control(char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; }
constexpr bool is_graphic(char c) { return c > 0x20 && c < 0x7F; }
constexpr char to_upper(char c) { return is_lower(c) ? static_cast<char>(c - 'a' + 'A') : c; }
constexpr char to_lower(char c) { return is_upper(c) ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace kobrant::visa::ascii
