// Line settings of a serial port as the VISA serial attributes describe them (baud, data bits,
// parity, stop bits, flow control, XON/XOFF characters), mapped onto the system's record of
// them (termios on POSIX, serial_line.cpp; the port's DCB on Windows, serial_line_windows.cpp),
// and the modem lines the line-state attributes name. Nothing here touches a port, so tests
// and the fuzz target check every mapping both ways on plain records.
#pragma once

#include <kobrant/visa.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <termios.h>
#endif

namespace kobrant::visa::serial {

#ifdef _WIN32
using line_settings = DCB;
#else
using line_settings = termios;
#endif

// The attribute ids and values are the API's own (VI_ATTR_ASRL_*, VI_ASRL_*, VI_STATE_*).

// The defaults every session starts from, whatever the port was left at: 9600 baud, 8 data
// bits, no parity, one stop bit, no flow control, XON 0x11 and XOFF 0x13. The port is raw: no
// echo, no line editing, no translation of bytes, no signals from control characters, modem
// lines ignored for reception (CLOCAL), and a read waits for at least one byte (VMIN 1) so that
// on a non-blocking descriptor "no data" (EAGAIN) and "hung up" (0) stay apart.
void make_default_line(line_settings& line);

// Whether attr is one of the settings held in the line record (baud to XOFF character).
inline bool is_line_attribute(ViAttr attr) {
  switch (attr) {
    case VI_ATTR_ASRL_BAUD: case VI_ATTR_ASRL_DATA_BITS: case VI_ATTR_ASRL_PARITY: case VI_ATTR_ASRL_STOP_BITS:
    case VI_ATTR_ASRL_FLOW_CNTRL: case VI_ATTR_ASRL_XON_CHAR: case VI_ATTR_ASRL_XOFF_CHAR:
      return true;
    default:
      return false;
  }
}

// Changes line for attr = value: VI_SUCCESS, or VI_ERROR_NSUP_ATTR_STATE for a value this
// mapping cannot express (on POSIX: 1.5 stop bits, DTR/DSR flow control, a baud rate termios
// lacks), leaving line unchanged.
ViStatus set_line_attribute(line_settings& line, ViAttr attr, ViAttrState value);

// Writes the value of attr in line, in the attribute's own type, to out. VI_ERROR_NSUP_ATTR
// for an attribute that is not a line setting.
ViStatus get_line_attribute(const line_settings& line, ViAttr attr, void* out);

// Whether a and b agree on every setting above. The kernel accepts a change it can only partly
// carry out, so the port is read back and compared after each change.
bool same_line_settings(const line_settings& a, const line_settings& b);

// The modem-line bit a line-state attribute names (TIOCM_* on POSIX; on Windows the
// GetCommModemStatus bit, or one of the output bits below for DTR and RTS), or 0 for other
// attributes.
int modem_line_bit(ViAttr attr);

// Whether the line-state attribute may be set (DTR and RTS) rather than only read.
inline bool is_settable_modem_line(ViAttr attr) {
  return attr == VI_ATTR_ASRL_DTR_STATE || attr == VI_ATTR_ASRL_RTS_STATE;
}

// Milliseconds the port needs to send count bytes with the settings in line, rounded up.
unsigned transmit_ms(const line_settings& line, unsigned long count);

}  // namespace kobrant::visa::serial
