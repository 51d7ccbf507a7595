// The mapping between the VISA serial attributes and termios (see serial_line.h). Only the
// flags named here are ever changed, so a setting the attributes do not cover (HUPCL, say)
// stays as the port had it.
#include "serial_line.h"

#include <sys/ioctl.h>

#include <array>
#include <utility>

namespace kobrant::visa::serial {
namespace {

// The rates termios can name; Linux has no constant for anything in between.
constexpr std::array<std::pair<ViUInt32, speed_t>, 31> baud_rates{{
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000}, {0, B0},
}};

constexpr tcflag_t parity_flags = PARENB | PARODD | CMSPAR;
constexpr tcflag_t managed_cflags = CSIZE | parity_flags | CSTOPB | CRTSCTS | CLOCAL | CREAD;
constexpr tcflag_t managed_iflags = IXON | IXOFF | IXANY;

constexpr cc_t default_xon = 0x11;
constexpr cc_t default_xoff = 0x13;

// The rate number of a termios speed; 0 for one outside the table (never set by us).
ViUInt32 rate_of(speed_t speed) {
  for (const auto& [rate, constant] : baud_rates)
    if (constant == speed) return rate;
  return 0;
}

ViUInt16 data_bits_of(const termios& line) {
  switch (line.c_cflag & CSIZE) {
    case CS5: return 5;
    case CS6: return 6;
    case CS7: return 7;
    default: return 8;
  }
}

ViUInt16 parity_of(const termios& line) {
  if (!(line.c_cflag & PARENB)) return VI_ASRL_PAR_NONE;
  const bool odd = line.c_cflag & PARODD;
  if (line.c_cflag & CMSPAR) return odd ? VI_ASRL_PAR_MARK : VI_ASRL_PAR_SPACE;
  return odd ? VI_ASRL_PAR_ODD : VI_ASRL_PAR_EVEN;
}

ViUInt16 flow_of(const termios& line) {
  ViUInt16 flow = VI_ASRL_FLOW_NONE;
  if ((line.c_iflag & IXON) && (line.c_iflag & IXOFF)) flow |= VI_ASRL_FLOW_XON_XOFF;
  if (line.c_cflag & CRTSCTS) flow |= VI_ASRL_FLOW_RTS_CTS;
  return flow;
}

// Bits a character takes on the wire: start bit, data bits, parity bit, stop bits.
unsigned frame_bits(const termios& line) {
  return 1u + data_bits_of(line) + (line.c_cflag & PARENB ? 1u : 0u) + (line.c_cflag & CSTOPB ? 2u : 1u);
}

}  // namespace

void make_default_line(termios& line) {
  ::cfmakeraw(&line);
  line.c_iflag &= ~(managed_iflags | INPCK);
  line.c_cflag &= ~managed_cflags;
  line.c_cflag |= CS8 | CLOCAL | CREAD;
  line.c_cc[VMIN] = 1;
  line.c_cc[VTIME] = 0;
  line.c_cc[VSTART] = default_xon;
  line.c_cc[VSTOP] = default_xoff;
  ::cfsetispeed(&line, B9600);
  ::cfsetospeed(&line, B9600);
}

ViStatus set_line_attribute(termios& line, ViAttr attr, ViAttrState value) {
  termios next = line;
  switch (attr) {
    case VI_ATTR_ASRL_BAUD: {
      const auto* found = baud_rates.end();
      for (const auto* it = baud_rates.begin(); it != baud_rates.end(); ++it)
        if (it->first == value && value != 0) found = it;
      if (found == baud_rates.end()) return VI_ERROR_NSUP_ATTR_STATE;
      ::cfsetispeed(&next, found->second);
      ::cfsetospeed(&next, found->second);
      break;
    }
    case VI_ATTR_ASRL_DATA_BITS: {
      static constexpr tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
      if (value < 5 || value > 8) return VI_ERROR_NSUP_ATTR_STATE;
      next.c_cflag = (next.c_cflag & ~CSIZE) | sizes[value - 5];
      break;
    }
    case VI_ATTR_ASRL_PARITY: {
      tcflag_t flags = 0;
      switch (value) {
        case VI_ASRL_PAR_NONE: break;
        case VI_ASRL_PAR_ODD: flags = PARENB | PARODD; break;
        case VI_ASRL_PAR_EVEN: flags = PARENB; break;
        // CMSPAR turns odd/even into a fixed parity bit: PARODD then means mark (1).
        case VI_ASRL_PAR_MARK: flags = PARENB | CMSPAR | PARODD; break;
        case VI_ASRL_PAR_SPACE: flags = PARENB | CMSPAR; break;
        default: return VI_ERROR_NSUP_ATTR_STATE;
      }
      next.c_cflag = (next.c_cflag & ~parity_flags) | flags;
      break;
    }
    case VI_ATTR_ASRL_STOP_BITS:
      // termios has one or two stop bits; 1.5 exists only as what UARTs do with two stop bits
      // at five data bits, so it is refused rather than silently turned into two.
      if (value == VI_ASRL_STOP_ONE) next.c_cflag &= ~CSTOPB;
      else if (value == VI_ASRL_STOP_TWO) next.c_cflag |= CSTOPB;
      else return VI_ERROR_NSUP_ATTR_STATE;
      break;
    case VI_ATTR_ASRL_FLOW_CNTRL:
      // DTR/DSR handshaking has no termios flag.
      if (value & ~ViAttrState{VI_ASRL_FLOW_XON_XOFF | VI_ASRL_FLOW_RTS_CTS}) return VI_ERROR_NSUP_ATTR_STATE;
      next.c_iflag &= ~managed_iflags;
      if (value & VI_ASRL_FLOW_XON_XOFF) next.c_iflag |= IXON | IXOFF;
      next.c_cflag &= ~CRTSCTS;
      if (value & VI_ASRL_FLOW_RTS_CTS) next.c_cflag |= CRTSCTS;
      break;
    case VI_ATTR_ASRL_XON_CHAR:
    case VI_ATTR_ASRL_XOFF_CHAR:
      if (value > 0xFF) return VI_ERROR_NSUP_ATTR_STATE;
      next.c_cc[attr == VI_ATTR_ASRL_XON_CHAR ? VSTART : VSTOP] = static_cast<cc_t>(value);
      break;
    default:
      return VI_ERROR_NSUP_ATTR;
  }
  line = next;
  return VI_SUCCESS;
}

ViStatus get_line_attribute(const termios& line, ViAttr attr, void* out) {
  switch (attr) {
    case VI_ATTR_ASRL_BAUD: *static_cast<ViUInt32*>(out) = rate_of(::cfgetospeed(&line)); return VI_SUCCESS;
    case VI_ATTR_ASRL_DATA_BITS: *static_cast<ViUInt16*>(out) = data_bits_of(line); return VI_SUCCESS;
    case VI_ATTR_ASRL_PARITY: *static_cast<ViUInt16*>(out) = parity_of(line); return VI_SUCCESS;
    case VI_ATTR_ASRL_STOP_BITS:
      *static_cast<ViUInt16*>(out) = line.c_cflag & CSTOPB ? VI_ASRL_STOP_TWO : VI_ASRL_STOP_ONE;
      return VI_SUCCESS;
    case VI_ATTR_ASRL_FLOW_CNTRL: *static_cast<ViUInt16*>(out) = flow_of(line); return VI_SUCCESS;
    case VI_ATTR_ASRL_XON_CHAR: *static_cast<ViUInt8*>(out) = line.c_cc[VSTART]; return VI_SUCCESS;
    case VI_ATTR_ASRL_XOFF_CHAR: *static_cast<ViUInt8*>(out) = line.c_cc[VSTOP]; return VI_SUCCESS;
    default: return VI_ERROR_NSUP_ATTR;
  }
}

bool same_line_settings(const termios& a, const termios& b) {
  return ::cfgetospeed(&a) == ::cfgetospeed(&b) && ::cfgetispeed(&a) == ::cfgetispeed(&b) &&
         (a.c_cflag & managed_cflags) == (b.c_cflag & managed_cflags) &&
         (a.c_iflag & managed_iflags) == (b.c_iflag & managed_iflags) &&
         a.c_cc[VSTART] == b.c_cc[VSTART] && a.c_cc[VSTOP] == b.c_cc[VSTOP];
}

int modem_line_bit(ViAttr attr) {
  switch (attr) {
    case VI_ATTR_ASRL_DTR_STATE: return TIOCM_DTR;
    case VI_ATTR_ASRL_RTS_STATE: return TIOCM_RTS;
    case VI_ATTR_ASRL_CTS_STATE: return TIOCM_CTS;
    case VI_ATTR_ASRL_DSR_STATE: return TIOCM_DSR;
    case VI_ATTR_ASRL_DCD_STATE: return TIOCM_CAR;
    case VI_ATTR_ASRL_RI_STATE: return TIOCM_RNG;
    default: return 0;
  }
}

unsigned transmit_ms(const termios& line, unsigned long count) {
  const ViUInt32 rate = rate_of(::cfgetospeed(&line));
  if (rate == 0) return 0;
  const unsigned long long bits = static_cast<unsigned long long>(count) * frame_bits(line);
  const unsigned long long ms = (bits * 1000 + rate - 1) / rate;
  return ms > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<unsigned>(ms);
}

}  // namespace kobrant::visa::serial
