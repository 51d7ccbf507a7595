// Line settings of a serial port as the VISA serial attributes describe them (baud, data bits,
// parity, stop bits, flow control, XON/XOFF characters), mapped onto a termios record, and the
// modem lines the line-state attributes name. Nothing here touches a descriptor, so tests and
// the fuzz target check every mapping both ways on plain records.
#pragma once

#include "visa/visa.h"

#include <termios.h>

namespace kobrant::visa::serial {

// Attribute ids, as the VISA API publishes them for its ASRL attributes.
inline constexpr ViAttr attr_baud = 0x3FFF0021u;        // ViUInt32, bits per second
inline constexpr ViAttr attr_data_bits = 0x3FFF0022u;   // ViUInt16, 5..8
inline constexpr ViAttr attr_parity = 0x3FFF0023u;      // ViUInt16, parity_*
inline constexpr ViAttr attr_stop_bits = 0x3FFF0024u;   // ViUInt16, stop_*
inline constexpr ViAttr attr_flow_cntrl = 0x3FFF0025u;  // ViUInt16, flow_* bit mask
inline constexpr ViAttr attr_avail_num = 0x3FFF00ACu;   // ViUInt32, read-only
inline constexpr ViAttr attr_cts_state = 0x3FFF00AEu;   // ViInt16, read-only
inline constexpr ViAttr attr_dcd_state = 0x3FFF00AFu;   // ViInt16, read-only
inline constexpr ViAttr attr_dsr_state = 0x3FFF00B1u;   // ViInt16, read-only
inline constexpr ViAttr attr_dtr_state = 0x3FFF00B2u;   // ViInt16
inline constexpr ViAttr attr_ri_state = 0x3FFF00BFu;    // ViInt16, read-only
inline constexpr ViAttr attr_rts_state = 0x3FFF00C0u;   // ViInt16
inline constexpr ViAttr attr_xon_char = 0x3FFF00C1u;    // ViUInt8
inline constexpr ViAttr attr_xoff_char = 0x3FFF00C2u;   // ViUInt8

// Attribute values.
inline constexpr ViUInt16 parity_none = 0;
inline constexpr ViUInt16 parity_odd = 1;
inline constexpr ViUInt16 parity_even = 2;
inline constexpr ViUInt16 parity_mark = 3;
inline constexpr ViUInt16 parity_space = 4;
inline constexpr ViUInt16 stop_one = 10;
inline constexpr ViUInt16 stop_one5 = 15;
inline constexpr ViUInt16 stop_two = 20;
inline constexpr ViUInt16 flow_none = 0;
inline constexpr ViUInt16 flow_xon_xoff = 1;
inline constexpr ViUInt16 flow_rts_cts = 2;
inline constexpr ViUInt16 flow_dtr_dsr = 4;
inline constexpr ViInt16 state_unasserted = 0;
inline constexpr ViInt16 state_asserted = 1;
inline constexpr ViInt16 state_unknown = -1;

// The defaults every session starts from, whatever the port was left at: 9600 baud, 8 data
// bits, no parity, one stop bit, no flow control, XON 0x11 and XOFF 0x13. The port is raw: no
// echo, no line editing, no translation of bytes, no signals from control characters, modem
// lines ignored for reception (CLOCAL), and a read waits for at least one byte (VMIN 1) so that
// on a non-blocking descriptor "no data" (EAGAIN) and "hung up" (0) stay apart.
void make_default_line(termios& line);

// Whether attr is one of the settings held in the termios record (baud to XOFF character).
bool is_line_attribute(ViAttr attr);

// Changes line for attr = value: VI_SUCCESS, or VI_ERROR_NSUP_ATTR_STATE for a value this
// mapping cannot express (1.5 stop bits, DTR/DSR flow control, a baud rate termios lacks),
// leaving line unchanged.
ViStatus set_line_attribute(termios& line, ViAttr attr, ViAttrState value);

// Writes the value of attr in line, in the attribute's own type, to out. VI_ERROR_NSUP_ATTR
// for an attribute that is not a line setting.
ViStatus get_line_attribute(const termios& line, ViAttr attr, void* out);

// Whether a and b agree on every setting above. The kernel accepts a change it can only partly
// carry out, so the port is read back and compared after each change.
bool same_line_settings(const termios& a, const termios& b);

// The modem-line bit (TIOCM_*) a line-state attribute names, or 0 for other attributes.
int modem_line_bit(ViAttr attr);

// Whether the line-state attribute may be set (DTR and RTS) rather than only read.
bool is_settable_modem_line(ViAttr attr);

// Milliseconds the port needs to send count bytes with the settings in line, rounded up.
unsigned transmit_ms(const termios& line, unsigned long count);

}  // namespace kobrant::visa::serial
