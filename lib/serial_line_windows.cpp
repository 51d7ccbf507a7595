// The mapping between the VISA serial attributes and a port's DCB on Windows (see
// serial_line.h). Only the fields named here are ever changed, so a setting the attributes do
// not cover stays as the port had it. Unlike termios, a DCB names any baud rate, 1.5 stop bits
// and DTR/DSR handshaking; what the driver cannot do it refuses when the DCB is applied.
#include "serial_line.h"

namespace kobrant::visa::serial {
namespace {

constexpr char default_xon = 0x11;
constexpr char default_xoff = 0x13;

// DTR and RTS are outputs: GetCommModemStatus does not report them, so they get bits of their
// own beside its MS_*_ON bits.
constexpr int dtr_bit = 0x1000;
constexpr int rts_bit = 0x2000;

ViUInt16 flow_of(const DCB& line) {
  ViUInt16 flow = VI_ASRL_FLOW_NONE;
  if (line.fOutX && line.fInX) flow |= VI_ASRL_FLOW_XON_XOFF;
  if (line.fOutxCtsFlow && line.fRtsControl == RTS_CONTROL_HANDSHAKE) flow |= VI_ASRL_FLOW_RTS_CTS;
  if (line.fOutxDsrFlow && line.fDtrControl == DTR_CONTROL_HANDSHAKE) flow |= VI_ASRL_FLOW_DTR_DSR;
  return flow;
}

// Bits a character takes on the wire, in halves (1.5 stop bits): start, data, parity, stop.
unsigned frame_half_bits(const DCB& line) {
  const unsigned stop = line.StopBits == TWOSTOPBITS ? 4 : line.StopBits == ONE5STOPBITS ? 3 : 2;
  return 2 * (1u + line.ByteSize + (line.Parity != NOPARITY ? 1u : 0u)) + stop;
}

}  // namespace

void make_default_line(DCB& line) {
  line.DCBlength = sizeof line;
  line.BaudRate = 9600;
  line.ByteSize = 8;
  line.Parity = NOPARITY;
  line.StopBits = ONESTOPBIT;
  // Binary: no end-of-file byte; no byte replaced, dropped or waited for on a modem line.
  line.fBinary = TRUE;
  line.fParity = FALSE;
  line.fOutxCtsFlow = FALSE;
  line.fOutxDsrFlow = FALSE;
  line.fDtrControl = DTR_CONTROL_ENABLE;
  line.fDsrSensitivity = FALSE;
  line.fTXContinueOnXoff = TRUE;
  line.fOutX = FALSE;
  line.fInX = FALSE;
  line.fErrorChar = FALSE;
  line.fNull = FALSE;
  line.fRtsControl = RTS_CONTROL_ENABLE;
  // An error must not stop every later read and write until it is cleared.
  line.fAbortOnError = FALSE;
  line.XonChar = default_xon;
  line.XoffChar = default_xoff;
}

ViStatus set_line_attribute(DCB& line, ViAttr attr, ViAttrState value) {
  DCB next = line;
  switch (attr) {
    case VI_ATTR_ASRL_BAUD:
      if (value == 0 || value > 0xFFFFFFFFu) return VI_ERROR_NSUP_ATTR_STATE;
      next.BaudRate = static_cast<DWORD>(value);
      break;
    case VI_ATTR_ASRL_DATA_BITS:
      if (value < 5 || value > 8) return VI_ERROR_NSUP_ATTR_STATE;
      next.ByteSize = static_cast<BYTE>(value);
      break;
    case VI_ATTR_ASRL_PARITY:
      switch (value) {
        case VI_ASRL_PAR_NONE: next.Parity = NOPARITY; break;
        case VI_ASRL_PAR_ODD: next.Parity = ODDPARITY; break;
        case VI_ASRL_PAR_EVEN: next.Parity = EVENPARITY; break;
        case VI_ASRL_PAR_MARK: next.Parity = MARKPARITY; break;
        case VI_ASRL_PAR_SPACE: next.Parity = SPACEPARITY; break;
        default: return VI_ERROR_NSUP_ATTR_STATE;
      }
      next.fParity = next.Parity != NOPARITY;
      break;
    case VI_ATTR_ASRL_STOP_BITS:
      if (value == VI_ASRL_STOP_ONE) next.StopBits = ONESTOPBIT;
      else if (value == VI_ASRL_STOP_ONE5) next.StopBits = ONE5STOPBITS;
      else if (value == VI_ASRL_STOP_TWO) next.StopBits = TWOSTOPBITS;
      else return VI_ERROR_NSUP_ATTR_STATE;
      break;
    case VI_ATTR_ASRL_FLOW_CNTRL: {
      constexpr ViAttrState known = VI_ASRL_FLOW_XON_XOFF | VI_ASRL_FLOW_RTS_CTS | VI_ASRL_FLOW_DTR_DSR;
      if (value & ~known) return VI_ERROR_NSUP_ATTR_STATE;
      const bool xon = value & VI_ASRL_FLOW_XON_XOFF;
      const bool rts = value & VI_ASRL_FLOW_RTS_CTS;
      const bool dtr = value & VI_ASRL_FLOW_DTR_DSR;
      next.fOutX = next.fInX = xon;
      next.fOutxCtsFlow = rts;
      next.fRtsControl = rts ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
      next.fOutxDsrFlow = dtr;
      next.fDtrControl = dtr ? DTR_CONTROL_HANDSHAKE : DTR_CONTROL_ENABLE;
      break;
    }
    case VI_ATTR_ASRL_XON_CHAR:
    case VI_ATTR_ASRL_XOFF_CHAR:
      if (value > 0xFF) return VI_ERROR_NSUP_ATTR_STATE;
      (attr == VI_ATTR_ASRL_XON_CHAR ? next.XonChar : next.XoffChar) = static_cast<char>(value);
      break;
    default:
      return VI_ERROR_NSUP_ATTR;
  }
  line = next;
  return VI_SUCCESS;
}

ViStatus get_line_attribute(const DCB& line, ViAttr attr, void* out) {
  switch (attr) {
    case VI_ATTR_ASRL_BAUD: *static_cast<ViUInt32*>(out) = line.BaudRate; return VI_SUCCESS;
    case VI_ATTR_ASRL_DATA_BITS: *static_cast<ViUInt16*>(out) = line.ByteSize; return VI_SUCCESS;
    case VI_ATTR_ASRL_PARITY: {
      ViUInt16 parity = VI_ASRL_PAR_NONE;
      if (line.Parity == ODDPARITY) parity = VI_ASRL_PAR_ODD;
      else if (line.Parity == EVENPARITY) parity = VI_ASRL_PAR_EVEN;
      else if (line.Parity == MARKPARITY) parity = VI_ASRL_PAR_MARK;
      else if (line.Parity == SPACEPARITY) parity = VI_ASRL_PAR_SPACE;
      *static_cast<ViUInt16*>(out) = parity;
      return VI_SUCCESS;
    }
    case VI_ATTR_ASRL_STOP_BITS:
      *static_cast<ViUInt16*>(out) = line.StopBits == TWOSTOPBITS    ? VI_ASRL_STOP_TWO
                                     : line.StopBits == ONE5STOPBITS ? VI_ASRL_STOP_ONE5
                                                                     : VI_ASRL_STOP_ONE;
      return VI_SUCCESS;
    case VI_ATTR_ASRL_FLOW_CNTRL: *static_cast<ViUInt16*>(out) = flow_of(line); return VI_SUCCESS;
    case VI_ATTR_ASRL_XON_CHAR: *static_cast<ViUInt8*>(out) = static_cast<ViUInt8>(line.XonChar); return VI_SUCCESS;
    case VI_ATTR_ASRL_XOFF_CHAR: *static_cast<ViUInt8*>(out) = static_cast<ViUInt8>(line.XoffChar); return VI_SUCCESS;
    default: return VI_ERROR_NSUP_ATTR;
  }
}

bool same_line_settings(const DCB& a, const DCB& b) {
  return a.BaudRate == b.BaudRate && a.ByteSize == b.ByteSize && a.Parity == b.Parity &&
         a.StopBits == b.StopBits && flow_of(a) == flow_of(b) && a.XonChar == b.XonChar &&
         a.XoffChar == b.XoffChar;
}

int modem_line_bit(ViAttr attr) {
  switch (attr) {
    case VI_ATTR_ASRL_DTR_STATE: return dtr_bit;
    case VI_ATTR_ASRL_RTS_STATE: return rts_bit;
    case VI_ATTR_ASRL_CTS_STATE: return MS_CTS_ON;
    case VI_ATTR_ASRL_DSR_STATE: return MS_DSR_ON;
    case VI_ATTR_ASRL_DCD_STATE: return MS_RLSD_ON;
    case VI_ATTR_ASRL_RI_STATE: return MS_RING_ON;
    default: return 0;
  }
}

unsigned transmit_ms(const DCB& line, unsigned long count) {
  if (line.BaudRate == 0) return 0;
  const unsigned long long half_bits = static_cast<unsigned long long>(count) * frame_half_bits(line);
  const unsigned long long rate = 2ull * line.BaudRate;
  const unsigned long long ms = (half_bits * 1000 + rate - 1) / rate;
  return ms > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<unsigned>(ms);
}

}  // namespace kobrant::visa::serial
