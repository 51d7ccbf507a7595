// Line settings of a serial port as the VISA serial attributes describe them (baud, data bits,
// parity, stop bits, flow control, XON/XOFF characters), mapped onto a termios record, and the
// modem lines the line-state attributes name. Nothing here touches a descriptor, so tests and
// the fuzz target check every mapping both ways on plain records.
#pragma once

#include <kobrant/visa.h>

#include <termios.h>

namespace kobrant::visa::serial {

// The attribute ids and values are the API's own (VI_ATTR_ASRL_*, VI_ASRL_*, VI_STATE_*).

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
