// USB INSTR through the kernel usbtmc driver's node (see usbtmc_kernel.h). The driver needs
// to be recent enough to say whether each read ended the message: its API version ioctl and
// USBTMC_IOCTL_MSG_IN_ATTR (the bmTransferAttributes of the last Bulk-IN header) must both
// answer, or the open fails naming what is missing. Values from the driver's uapi header
// (include/uapi/linux/usb/tmc.h), ioctl magic '[' = 91.
//
// The driver's read() and write() block, bounded by the timeout set before each call (at least
// 100 ms, the driver's minimum); a signal ends them, a session's wake-up only at that timeout.
// After a timeout the driver's own abort ioctl takes the transfer back.
#include "usbtmc_kernel.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace kobrant::visa {
namespace {

constexpr unsigned magic = 91;
const unsigned long ioctl_clear = _IO(magic, 2);
const unsigned long ioctl_abort_bulk_out = _IO(magic, 3);
const unsigned long ioctl_abort_bulk_in = _IO(magic, 4);
const unsigned long ioctl_clear_out_halt = _IO(magic, 6);
const unsigned long ioctl_clear_in_halt = _IO(magic, 7);
const unsigned long ioctl_set_timeout = _IOW(magic, 10, std::uint32_t);
const unsigned long ioctl_eom_enable = _IOW(magic, 11, std::uint8_t);
const unsigned long ioctl_api_version = _IOR(magic, 16, std::uint32_t);
const unsigned long ioctl_read_stb = _IOR(magic, 18, unsigned char);
const unsigned long ioctl_trigger = _IO(magic, 22);
const unsigned long ioctl_msg_in_attr = _IOR(magic, 24, std::uint8_t);

constexpr std::uint32_t min_timeout_ms = 100;

ViStatus status_of(int error) {
  switch (error) {
    case ETIMEDOUT: return VI_ERROR_TMO;
    case EINTR: return VI_ERROR_ABORT;
    case ENODEV: case ESHUTDOWN: case ENXIO: return VI_ERROR_CONN_LOST;
    case EACCES: case EPERM: return VI_ERROR_NPERMISSION;
    case EBUSY: return VI_ERROR_RSRC_BUSY;
    case ENOMEM: return VI_ERROR_ALLOC;
    default: return VI_ERROR_IO;
  }
}

class kernel_usbtmc_transport final : public transport {
 public:
  explicit kernel_usbtmc_transport(std::string path) : path_(std::move(path)) {}

  ViStatus open(const resource_name&, const deadline&) override {
    fd_.reset(::open(path_.c_str(), O_RDWR | O_CLOEXEC));
    if (!fd_) {
      const ViStatus status = errno == ENOENT ? VI_ERROR_RSRC_NFOUND : status_of(errno);
      note_open_failure(status, path_ + ": cannot be opened");
      return status;
    }
    std::uint32_t version = 0;
    std::uint8_t attributes = 0;
    if (::ioctl(fd_.get(), ioctl_api_version, &version) != 0 || ::ioctl(fd_.get(), ioctl_msg_in_attr, &attributes) != 0) {
      note_open_failure(VI_ERROR_NSUP_OPER, path_ + ": the kernel's usbtmc driver is too old to tell where a message "
                                                    "ends (no API version or MSG_IN_ATTR ioctl); give the user access "
                                                    "to the USB device node instead");
      fd_.reset();
      return VI_ERROR_NSUP_OPER;
    }
    return VI_SUCCESS;
  }

  ViStatus write(std::span<const std::byte> data, std::span<const std::byte>, bool end, const deadline& until,
                 std::size_t& written) override {
    written = 0;
    if (!fd_) return VI_ERROR_CONN_LOST;
    if (data.empty()) return VI_SUCCESS;
    const std::uint8_t eom = end ? 1 : 0;
    if (::ioctl(fd_.get(), ioctl_eom_enable, &eom) != 0) return status_of(errno);
    if (ViStatus status = set_timeout(until); status < 0) return status;
    // One write() is one message from the driver's side, EOM on its end as set above.
    const ssize_t n = ::write(fd_.get(), data.data(), data.size());
    if (n < 0) return failed(errno, ioctl_abort_bulk_out, ioctl_clear_out_halt);
    written = static_cast<std::size_t>(n);
    return written == data.size() ? VI_SUCCESS : VI_ERROR_IO;
  }

  ViStatus read(std::span<std::byte> space, const read_rules&, const deadline& until, std::size_t& count,
                bool& end) override {
    count = 0;
    end = false;
    if (!fd_) return VI_ERROR_CONN_LOST;
    if (ViStatus status = set_timeout(until); status < 0) return status;
    // One read() is one device transfer; whether it ended the message the driver tells after.
    const std::size_t want = std::min<std::size_t>(space.size(), INT_MAX);
    const ssize_t n = ::read(fd_.get(), space.data(), want);
    if (n < 0) return failed(errno, ioctl_abort_bulk_in, ioctl_clear_in_halt);
    count = static_cast<std::size_t>(n);
    std::uint8_t attributes = 0;
    if (::ioctl(fd_.get(), ioctl_msg_in_attr, &attributes) != 0) return status_of(errno);
    end = (attributes & 0x01) != 0;
    return VI_SUCCESS;
  }

  ViStatus clear(const deadline& until) override {
    if (!fd_) return VI_ERROR_CONN_LOST;
    if (ViStatus status = set_timeout(until); status < 0) return status;
    return ::ioctl(fd_.get(), ioctl_clear) == 0 ? VI_SUCCESS : status_of(errno);
  }

  ViStatus read_stb(const deadline& until, ViUInt16& stb) override {
    if (!fd_) return VI_ERROR_CONN_LOST;
    if (ViStatus status = set_timeout(until); status < 0) return status;
    unsigned char byte = 0;
    if (::ioctl(fd_.get(), ioctl_read_stb, &byte) != 0) return errno == ENOTTY ? VI_ERROR_NSUP_OPER : status_of(errno);
    stb = byte;
    return VI_SUCCESS;
  }

  ViStatus assert_trigger(ViUInt16 protocol, const deadline& until) override {
    if (!fd_) return VI_ERROR_CONN_LOST;
    if (protocol != VI_TRIG_PROT_DEFAULT) return VI_ERROR_INV_PROT;
    if (ViStatus status = set_timeout(until); status < 0) return status;
    return ::ioctl(fd_.get(), ioctl_trigger) == 0 ? VI_SUCCESS : status_of(errno);
  }

  void close() noexcept override { fd_.reset(); }

 private:
  ViStatus set_timeout(const deadline& until) {
    // The driver refuses less than its minimum, and "infinite" is its largest value.
    std::uint32_t ms = until.infinite() ? UINT32_MAX : static_cast<std::uint32_t>(std::max(until.poll_ms(), 0));
    ms = std::max(ms, min_timeout_ms);
    return ::ioctl(fd_.get(), ioctl_set_timeout, &ms) == 0 ? VI_SUCCESS : status_of(errno);
  }

  // A failed transfer: a timeout is taken back with the driver's abort, a halt is lifted.
  ViStatus failed(int error, unsigned long abort, unsigned long clear_halt) {
    if (error == ETIMEDOUT) ::ioctl(fd_.get(), abort);
    if (error == EPIPE) ::ioctl(fd_.get(), clear_halt);
    return status_of(error);
  }

  std::string path_;
  unique_fd fd_;
};

}  // namespace

std::unique_ptr<transport> make_kernel_usbtmc_transport(std::string path) {
  return std::make_unique<kernel_usbtmc_transport>(std::move(path));
}

}  // namespace kobrant::visa
