// Serving usbfs from the device model under umockdev (see usbfs_emulation.h).
#include "usbfs_emulation.h"

#include <dlfcn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <sys/ioctl.h>
// After sys/ioctl.h, whose _IO macros it uses.
#include <linux/usbdevice_fs.h>
#include <umockdev.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <algorithm>
#include <array>
#include <chrono>
#include <deque>
#include <filesystem>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

namespace kobrant::test {
namespace {

// What usbfs promises libusb: one URB per transfer whatever its size, zero-length packets on
// request, and transfers reaped after a disconnect.
constexpr std::uint32_t usbfs_capabilities = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION |
                                             USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_BULK_SCATTER_GATHER |
                                             USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
constexpr int usb_speed_high = 3;  // enum usb_device_speed
constexpr std::size_t setup_size = 8;

std::string format(const char* fmt, auto... args) {
  char text[512];
  std::snprintf(text, sizeof text, fmt, args...);
  return text;
}

std::string hex_bytes(const std::vector<std::uint8_t>& bytes) {
  std::string out;
  for (const auto b : bytes) out += format("%02x", b);
  return out;
}

// An URB the host submitted and has not reaped yet.
struct pending_urb {
  UMockdevIoctlData* urb = nullptr;     // our reference to the local copy of struct usbdevfs_urb
  UMockdevIoctlData* buffer = nullptr;  // its data buffer (owned by urb)
  std::size_t filled = 0;
  bool complete = false;

  usbdevfs_urb& fields() const { return *reinterpret_cast<usbdevfs_urb*>(urb->data); }
  std::span<std::byte> bytes() const {
    if (buffer == nullptr) return {};
    return {reinterpret_cast<std::byte*>(buffer->data), static_cast<std::size_t>(buffer->data_len)};
  }
  void finish(int status, std::size_t length) {
    fields().status = status;
    fields().actual_length = static_cast<int>(length);
    complete = true;
  }
};

// One emulated device node. Its handler runs on umockdev's own thread.
struct served_device {
  usbtmc_device* model = nullptr;
  UMockdevIoctlBase* handler = nullptr;
  std::mutex mutex;
  std::deque<pending_urb> urbs;
  bool gone = false;
  std::array<unsigned, 256> submitted{};  // URBs submitted, by endpoint address
};

usb_status finish_urb_with(pending_urb& u, const usb_result& r) {
  switch (r.status) {
    case usb_status::done: u.finish(0, u.filled); break;
    case usb_status::stall: u.finish(-EPIPE, u.filled); break;
    case usb_status::gone: u.finish(-ESHUTDOWN, u.filled); break;
    case usb_status::overflow: u.finish(-EOVERFLOW, u.filled); break;
    case usb_status::pending: break;
  }
  return r.status;
}

usb_setup setup_from(std::span<const std::byte> b) {
  const auto u16 = [&](std::size_t at) {
    return static_cast<std::uint16_t>(std::to_integer<unsigned>(b[at]) | std::to_integer<unsigned>(b[at + 1]) << 8);
  };
  return {std::to_integer<std::uint8_t>(b[0]), std::to_integer<std::uint8_t>(b[1]), u16(2), u16(4), u16(6)};
}

// Moves an URB as far as the device lets it.
void progress(served_device& dev, pending_urb& u) {
  if (u.complete) return;
  if (dev.gone) {
    u.finish(-ESHUTDOWN, u.filled);
    return;
  }
  auto& f = u.fields();
  auto bytes = u.bytes();
  if (f.type == USBDEVFS_URB_TYPE_CONTROL) {
    if (bytes.size() < setup_size) {
      u.finish(-EINVAL, 0);
      return;
    }
    const auto setup = setup_from(bytes);
    auto data = bytes.subspan(setup_size, std::min<std::size_t>(setup.length, bytes.size() - setup_size));
    const auto r = dev.model->control(setup, data);
    u.filled = r.length;
    finish_urb_with(u, r);
    return;
  }
  if ((f.endpoint & 0x80) == 0) {
    const auto r = dev.model->bulk_out(bytes);
    u.filled = r.length;
    finish_urb_with(u, r);
    return;
  }
  auto space = bytes.subspan(u.filled);
  const auto r = f.type == USBDEVFS_URB_TYPE_INTERRUPT ? dev.model->interrupt_in(space) : dev.model->bulk_in(space);
  u.filled += r.length;
  finish_urb_with(u, r);
}

void release(pending_urb& u) {
  if (u.urb != nullptr) g_object_unref(u.urb);
  u.urb = nullptr;
}

// Each usbfs ioctl, as the kernel answers it; returns the errno (0 for success) and sets
// result for those that return a value.
int serve_ioctl(served_device& dev, UMockdevIoctlClient* client, long& result) {
  const gulong request = umockdev_ioctl_client_get_request(client);
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  GError* error = nullptr;
  const auto resolve = [&](UMockdevIoctlData* parent, std::size_t offset, std::size_t length) {
    UMockdevIoctlData* d = umockdev_ioctl_data_resolve(parent, offset, length, &error);
    if (error != nullptr) {
      g_error_free(error);
      error = nullptr;
      return static_cast<UMockdevIoctlData*>(nullptr);
    }
    return d;
  };
  // A resolved argument, released when this call returns.
  struct holder {
    UMockdevIoctlData* d;
    ~holder() {
      if (d != nullptr) g_object_unref(d);
    }
  };
  auto& model = *dev.model;
  const auto interface_arg = [&](holder& h) -> int {
    h.d = resolve(arg, 0, sizeof(unsigned int));
    return h.d == nullptr ? -1 : static_cast<int>(*reinterpret_cast<unsigned int*>(h.d->data));
  };
  result = 0;
  if (model.unplugged()) dev.gone = true;

  if (request == USBDEVFS_REAPURB || request == USBDEVFS_REAPURBNDELAY) {
    for (auto& u : dev.urbs) progress(dev, u);
    for (auto it = dev.urbs.begin(); it != dev.urbs.end(); ++it) {
      if (!it->complete) continue;
      holder h{resolve(arg, 0, sizeof(void*))};
      if (h.d == nullptr) return EFAULT;
      umockdev_ioctl_data_set_ptr(h.d, 0, it->urb);
      release(*it);
      dev.urbs.erase(it);
      return 0;
    }
    if (dev.gone) return ENODEV;
    // A blocking reap would wait; libusb only reaps after poll, so never blocks here.
    return EAGAIN;
  }
  if (request == USBDEVFS_DISCARDURB) {
    const auto address = *reinterpret_cast<unsigned long*>(arg->data);
    for (auto& u : dev.urbs) {
      if (u.urb->client_addr != address || u.complete) continue;
      u.finish(-ENOENT, u.filled);
      return 0;
    }
    return EINVAL;
  }
  if (dev.gone) return ENODEV;

  switch (request) {
    case USBDEVFS_SUBMITURB: {
      pending_urb u;
      u.urb = resolve(arg, 0, sizeof(usbdevfs_urb));
      if (u.urb == nullptr) return EFAULT;
      const auto& f = u.fields();
      if (f.buffer_length > 0) {
        u.buffer = resolve(u.urb, offsetof(usbdevfs_urb, buffer), static_cast<std::size_t>(f.buffer_length));
        if (u.buffer == nullptr) {
          release(u);
          return EFAULT;
        }
        g_object_unref(u.buffer);  // the URB's copy holds it
      }
      if (f.type != USBDEVFS_URB_TYPE_CONTROL && f.type != USBDEVFS_URB_TYPE_BULK &&
          f.type != USBDEVFS_URB_TYPE_INTERRUPT) {
        release(u);
        return EINVAL;
      }
      ++dev.submitted[f.endpoint];
      dev.urbs.push_back(u);
      progress(dev, dev.urbs.back());
      return 0;
    }
    case USBDEVFS_GET_CAPABILITIES: {
      holder h{resolve(arg, 0, sizeof(std::uint32_t))};
      if (h.d == nullptr) return EFAULT;
      std::memcpy(h.d->data, &usbfs_capabilities, sizeof usbfs_capabilities);
      return 0;
    }
    case USBDEVFS_CLAIMINTERFACE: {
      holder h{nullptr};
      return model.claim_interface(interface_arg(h)) ? 0 : EBUSY;
    }
    case USBDEVFS_RELEASEINTERFACE: {
      holder h{nullptr};
      return model.release_interface(interface_arg(h)) ? 0 : EINVAL;
    }
    case USBDEVFS_CLEAR_HALT: {
      holder h{nullptr};
      model.clear_halt(static_cast<std::uint8_t>(interface_arg(h)));
      return 0;
    }
    case USBDEVFS_RESETEP:
      return 0;
    case USBDEVFS_SETINTERFACE: {
      holder h{resolve(arg, 0, sizeof(usbdevfs_setinterface))};
      if (h.d == nullptr) return EFAULT;
      const auto* s = reinterpret_cast<usbdevfs_setinterface*>(h.d->data);
      model.set_interface(static_cast<int>(s->interface), static_cast<int>(s->altsetting));
      return 0;
    }
    case USBDEVFS_SETCONFIGURATION: {
      holder h{nullptr};
      model.set_configuration(interface_arg(h));
      return 0;
    }
    case USBDEVFS_RESET:
      model.reset_device();
      return 0;
    case USBDEVFS_GETDRIVER: {
      holder h{resolve(arg, 0, sizeof(usbdevfs_getdriver))};
      if (h.d == nullptr) return EFAULT;
      auto* g = reinterpret_cast<usbdevfs_getdriver*>(h.d->data);
      if (g->interface != model.identity().interface_number || !model.kernel_driver_bound()) return ENODATA;
      std::snprintf(g->driver, sizeof g->driver, "usbtmc");
      return 0;
    }
    case USBDEVFS_DISCONNECT_CLAIM: {
      holder h{resolve(arg, 0, sizeof(usbdevfs_disconnect_claim))};
      if (h.d == nullptr) return EFAULT;
      const auto* c = reinterpret_cast<usbdevfs_disconnect_claim*>(h.d->data);
      const int intf = static_cast<int>(c->interface);
      if (model.kernel_driver_bound()) {
        const bool only_if = (c->flags & USBDEVFS_DISCONNECT_CLAIM_IF_DRIVER) != 0;
        const bool except = (c->flags & USBDEVFS_DISCONNECT_CLAIM_EXCEPT_DRIVER) != 0;
        const bool named = std::strncmp(c->driver, "usbtmc", sizeof c->driver) == 0;
        if ((!only_if || named) && (!except || !named)) model.detach_kernel_driver(intf);
      }
      return model.claim_interface(intf) ? 0 : EBUSY;
    }
    case USBDEVFS_IOCTL: {
      holder h{resolve(arg, 0, sizeof(usbdevfs_ioctl))};
      if (h.d == nullptr) return EFAULT;
      const auto* c = reinterpret_cast<usbdevfs_ioctl*>(h.d->data);
      if (c->ioctl_code == static_cast<int>(USBDEVFS_DISCONNECT)) {
        return model.detach_kernel_driver(c->ifno) ? 0 : ENODATA;
      }
      if (c->ioctl_code == static_cast<int>(USBDEVFS_CONNECT)) {
        return model.attach_kernel_driver(c->ifno) ? 0 : EBUSY;
      }
      return ENOTTY;
    }
    case USBDEVFS_CONNECTINFO: {
      holder h{resolve(arg, 0, sizeof(usbdevfs_connectinfo))};
      if (h.d == nullptr) return EFAULT;
      auto* c = reinterpret_cast<usbdevfs_connectinfo*>(h.d->data);
      c->devnum = static_cast<unsigned>(model.identity().devnum);
      c->slow = 0;
      return 0;
    }
    case USBDEVFS_GET_SPEED:
      result = usb_speed_high;
      return 0;
    case USBDEVFS_CONTROL: {
      holder h{resolve(arg, 0, sizeof(usbdevfs_ctrltransfer))};
      if (h.d == nullptr) return EFAULT;
      auto* c = reinterpret_cast<usbdevfs_ctrltransfer*>(h.d->data);
      const usb_setup setup{c->bRequestType, c->bRequest, c->wValue, c->wIndex, c->wLength};
      holder data{nullptr};
      std::span<std::byte> bytes;
      if (c->wLength > 0) {
        data.d = resolve(h.d, offsetof(usbdevfs_ctrltransfer, data), c->wLength);
        if (data.d == nullptr) return EFAULT;
        bytes = {reinterpret_cast<std::byte*>(data.d->data), c->wLength};
      }
      const auto r = model.control(setup, bytes);
      if (r.status == usb_status::stall) return EPIPE;
      if (r.status == usb_status::gone) return ENODEV;
      result = static_cast<long>(r.length);
      return 0;
    }
    case USBDEVFS_DROP_PRIVILEGES:
      return 0;
    default:
      return ENOTTY;
  }
}

gboolean on_ioctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data) {
  auto& dev = *static_cast<served_device*>(data);
  std::lock_guard lock(dev.mutex);
  long result = 0;
  int error = EIO;
  try {
    error = serve_ioctl(dev, client, result);
  } catch (...) {
    error = EIO;
  }
  umockdev_ioctl_client_complete(client, error == 0 ? result : -1, error);
  return TRUE;
}

// The kernel usbtmc driver in front of the model, as its character device answers a program:
// each write() one DEV_DEP_MSG_OUT, each read() one REQUEST_DEV_DEP_MSG_IN and the one
// transfer that answers it, ioctls for the rest. Blocking calls wait on the model, bounded by
// the timeout the program set, as the driver does.
struct kernel_node {
  usbtmc_device* model = nullptr;
  UMockdevIoctlBase* handler = nullptr;
  std::mutex mutex;
  std::uint8_t btag = 0;
  std::uint8_t last_out_btag = 0;
  std::uint8_t last_in_btag = 0;
  std::uint8_t stb_btag = 1;
  bool eom = true;
  std::uint32_t timeout_ms = 5000;
  std::uint8_t in_attributes = 0;
};

namespace tmc_ioctl {
constexpr unsigned magic = 91;
const unsigned long clear = _IO(magic, 2);
const unsigned long abort_bulk_out = _IO(magic, 3);
const unsigned long abort_bulk_in = _IO(magic, 4);
const unsigned long clear_out_halt = _IO(magic, 6);
const unsigned long clear_in_halt = _IO(magic, 7);
const unsigned long get_timeout = _IOR(magic, 9, std::uint32_t);
const unsigned long set_timeout = _IOW(magic, 10, std::uint32_t);
const unsigned long eom_enable = _IOW(magic, 11, std::uint8_t);
const unsigned long api_version = _IOR(magic, 16, std::uint32_t);
const unsigned long read_stb = _IOR(magic, 18, unsigned char);
const unsigned long msg_in_attr = _IOR(magic, 24, std::uint8_t);
}  // namespace tmc_ioctl

std::uint8_t next_btag(std::uint8_t tag) { return tag == 255 ? 1 : static_cast<std::uint8_t>(tag + 1); }

int errno_of(usb_status status) {
  switch (status) {
    case usb_status::stall: return EPIPE;
    case usb_status::gone: return ENODEV;
    case usb_status::overflow: return EOVERFLOW;
    default: return EIO;
  }
}

// Retries op while the model has nothing for it, up to the node's timeout.
template <class Op>
usb_result wait_on_model(const kernel_node& node, Op op) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(node.timeout_ms);
  for (;;) {
    const auto r = op();
    if (r.status != usb_status::pending || std::chrono::steady_clock::now() >= until) return r;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

// Control request to the model; the reply's first byte (the USBTMC status), 0 when it failed.
std::uint8_t tmc_control(kernel_node& node, std::uint8_t type, std::uint8_t request, std::uint16_t value,
                         std::uint16_t index, std::span<std::byte> reply) {
  const auto r = node.model->control({type, request, value, index, static_cast<std::uint16_t>(reply.size())}, reply);
  return r.status == usb_status::done && r.length > 0 ? std::to_integer<std::uint8_t>(reply[0]) : 0;
}

// Reads Bulk-IN until a short packet, as the driver drains after an abort or a clear.
void drain_bulk_in(kernel_node& node) {
  std::vector<std::byte> space(node.model->identity().max_packet * 8);
  for (int i = 0; i < 64; ++i) {
    const auto r = node.model->bulk_in(space);
    if (r.status != usb_status::done || r.length < space.size()) return;
  }
}

int kernel_write(kernel_node& node, std::span<const std::byte> data, long& result) {
  node.btag = next_btag(node.btag);
  node.last_out_btag = node.btag;
  auto message = usbtmc_out_header(1, node.btag, static_cast<std::uint32_t>(data.size()), node.eom ? 1 : 0);
  message.insert(message.end(), data.begin(), data.end());
  while (message.size() % 4 != 0) message.push_back(std::byte{0});
  const auto r = wait_on_model(node, [&] { return node.model->bulk_out(message); });
  if (r.status == usb_status::pending) return ETIMEDOUT;
  if (r.status != usb_status::done) return errno_of(r.status);
  result = static_cast<long>(data.size());
  return 0;
}

int kernel_read(kernel_node& node, std::span<std::byte> out, long& result) {
  node.btag = next_btag(node.btag);
  node.last_in_btag = node.btag;
  const auto request = usbtmc_out_header(2, node.btag, static_cast<std::uint32_t>(out.size()), 0);
  if (const auto r = node.model->bulk_out(request); r.status != usb_status::done) {
    return r.status == usb_status::pending ? ETIMEDOUT : errno_of(r.status);
  }
  // A buffer of whole packets with room to spare, so the transfer's ZLP comes with it.
  const std::size_t packet = node.model->identity().max_packet;
  std::vector<std::byte> transfer((12 + out.size() + 3 + packet - 1) / packet * packet + packet);
  std::size_t filled = 0;
  const auto r = wait_on_model(node, [&] {
    auto step = node.model->bulk_in(std::span(transfer).subspan(filled));
    filled += step.length;
    return step;
  });
  if (r.status == usb_status::pending) return ETIMEDOUT;
  if (r.status != usb_status::done) return errno_of(r.status);
  if (filled < 12 || std::to_integer<std::uint8_t>(transfer[0]) != 2) return EIO;
  const std::uint32_t size = std::to_integer<std::uint32_t>(transfer[4]) | std::to_integer<std::uint32_t>(transfer[5]) << 8 |
                             std::to_integer<std::uint32_t>(transfer[6]) << 16 |
                             std::to_integer<std::uint32_t>(transfer[7]) << 24;
  const std::size_t n = std::min({static_cast<std::size_t>(size), filled - 12, out.size()});
  std::memcpy(out.data(), transfer.data() + 12, n);
  node.in_attributes = std::to_integer<std::uint8_t>(transfer[8]);
  result = static_cast<long>(n);
  return 0;
}

// The driver's abort of the last Bulk-IN or Bulk-OUT transfer, and its device clear.
int kernel_abort(kernel_node& node, bool in) {
  const auto& id = node.model->identity();
  std::array<std::byte, 8> reply{};
  const std::uint8_t ep = in ? id.bulk_in : id.bulk_out;
  const std::uint8_t tag = in ? node.last_in_btag : node.last_out_btag;
  const std::uint8_t status = tmc_control(node, 0xA2, in ? 3 : 1, tag, ep, std::span(reply).first(2));
  if (status == 0x80 || status == 0x81) return 0;  // nothing in progress: nothing to abort
  if (status != 0x01) return EPERM;
  for (int i = 0; i < 100; ++i) {
    if (in) drain_bulk_in(node);
    const std::uint8_t check = tmc_control(node, 0xA2, in ? 4 : 2, 0, ep, reply);
    if (check == 0x01) break;
    if (check != 0x02) return EPERM;
  }
  if (!in) node.model->clear_halt(ep);
  return 0;
}

int kernel_clear(kernel_node& node) {
  std::array<std::byte, 2> reply{};
  if (tmc_control(node, 0xA1, 5, 0, node.model->identity().interface_number, std::span(reply).first(1)) != 0x01) return EPERM;
  for (int i = 0; i < 100; ++i) {
    const std::uint8_t check = tmc_control(node, 0xA1, 6, 0, node.model->identity().interface_number, reply);
    if (check == 0x01) break;
    if (check != 0x02) return EPERM;
    if ((std::to_integer<unsigned>(reply[1]) & 1) != 0) drain_bulk_in(node);
  }
  node.model->clear_halt(node.model->identity().bulk_out);
  return 0;
}

int kernel_read_stb(kernel_node& node, unsigned char& stb) {
  const auto& id = node.model->identity();
  node.stb_btag = node.stb_btag >= 127 ? 2 : static_cast<std::uint8_t>(node.stb_btag + 1);
  std::array<std::byte, 3> reply{};
  if (tmc_control(node, 0xA1, 128, node.stb_btag, id.interface_number, reply) != 0x01) return EPERM;
  if (id.interrupt_in == 0) {
    stb = std::to_integer<unsigned char>(reply[2]);
    return 0;
  }
  std::array<std::byte, 2> note{};
  const auto r = wait_on_model(node, [&] { return node.model->interrupt_in(note); });
  if (r.status != usb_status::done) return r.status == usb_status::pending ? ETIMEDOUT : errno_of(r.status);
  stb = std::to_integer<unsigned char>(note[1]);
  return 0;
}

int kernel_ioctl(kernel_node& node, UMockdevIoctlClient* client, long& result) {
  const gulong request = umockdev_ioctl_client_get_request(client);
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  const auto with_arg = [&](std::size_t size, auto use) -> int {
    GError* error = nullptr;
    UMockdevIoctlData* d = umockdev_ioctl_data_resolve(arg, 0, size, &error);
    if (error != nullptr) g_error_free(error);
    if (d == nullptr) return EFAULT;
    const int rc = use(d->data);
    g_object_unref(d);
    return rc;
  };
  result = 0;
  if (node.model->unplugged()) return ENODEV;
  if (request == tmc_ioctl::api_version) {
    return with_arg(4, [](guint8* p) { const std::uint32_t v = 3; std::memcpy(p, &v, 4); return 0; });
  }
  if (request == tmc_ioctl::msg_in_attr) {
    return with_arg(1, [&](guint8* p) { *p = node.in_attributes; return 0; });
  }
  if (request == tmc_ioctl::eom_enable) {
    return with_arg(1, [&](guint8* p) { return *p > 1 ? EINVAL : (node.eom = *p == 1, 0); });
  }
  if (request == tmc_ioctl::set_timeout) {
    return with_arg(4, [&](guint8* p) {
      std::uint32_t ms = 0;
      std::memcpy(&ms, p, 4);
      if (ms < 100) return EINVAL;
      node.timeout_ms = ms;
      return 0;
    });
  }
  if (request == tmc_ioctl::get_timeout) {
    return with_arg(4, [&](guint8* p) { std::memcpy(p, &node.timeout_ms, 4); return 0; });
  }
  if (request == tmc_ioctl::read_stb) {
    return with_arg(1, [&](guint8* p) { return kernel_read_stb(node, *p); });
  }
  if (request == tmc_ioctl::abort_bulk_in) return kernel_abort(node, true);
  if (request == tmc_ioctl::abort_bulk_out) return kernel_abort(node, false);
  if (request == tmc_ioctl::clear) return kernel_clear(node);
  if (request == tmc_ioctl::clear_in_halt) return node.model->clear_halt(node.model->identity().bulk_in), 0;
  if (request == tmc_ioctl::clear_out_halt) return node.model->clear_halt(node.model->identity().bulk_out), 0;
  return EBADRQC;  // what the driver answers to a request it does not know
}

gboolean on_kernel_call(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data, int call) {
  auto& node = *static_cast<kernel_node*>(data);
  std::lock_guard lock(node.mutex);
  long result = 0;
  int error = EIO;
  try {
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    const std::span bytes(reinterpret_cast<std::byte*>(arg->data), static_cast<std::size_t>(arg->data_len));
    if (call == 0) error = kernel_ioctl(node, client, result);
    else if (node.model->unplugged()) error = ENODEV;
    else if (call == 1) error = kernel_read(node, bytes, result);
    else error = kernel_write(node, bytes, result);
  } catch (...) {
    error = EIO;
  }
  umockdev_ioctl_client_complete(client, error == 0 ? result : -1, error);
  return TRUE;
}

gboolean on_kernel_ioctl(UMockdevIoctlBase* b, UMockdevIoctlClient* c, gpointer d) { return on_kernel_call(b, c, d, 0); }
gboolean on_kernel_read(UMockdevIoctlBase* b, UMockdevIoctlClient* c, gpointer d) { return on_kernel_call(b, c, d, 1); }
gboolean on_kernel_write(UMockdevIoctlBase* b, UMockdevIoctlClient* c, gpointer d) { return on_kernel_call(b, c, d, 2); }

// The umockdev text description of one device and its TMC interface.
std::string describe_device(const usbtmc_device& device, const std::string& sys_path, bool usbfs_node = true) {
  const auto& id = device.identity();
  const std::string bus = format("%03d", id.busnum);
  const std::string num = format("%03d", id.devnum);
  const std::string interfaces = format(":fe03%02x:", id.interface_protocol);
  std::string text;
  text += "P: " + sys_path + "\n";
  if (usbfs_node) text += "N: bus/usb/" + bus + "/" + num + "\n";
  text += "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DRIVER=usb\n";
  text += "E: DEVNAME=/dev/bus/usb/" + bus + "/" + num + "\n";
  text += "E: BUSNUM=" + bus + "\nE: DEVNUM=" + num + "\n";
  text += format("E: PRODUCT=%x/%x/100\n", id.vendor_id, id.product_id);
  text += format("E: ID_VENDOR_ID=%04x\nE: ID_MODEL_ID=%04x\n", id.vendor_id, id.product_id);
  text += "E: ID_USB_INTERFACES=" + interfaces + "\n";
  // Attribute values are written with escapes: \n is the newline sysfs puts after each value.
  const auto attribute = [&](const std::string& name, const std::string& value) {
    text += "A: " + name + "=" + value + "\\n\n";
  };
  attribute("idVendor", format("%04x", id.vendor_id));
  attribute("idProduct", format("%04x", id.product_id));
  if (!id.serial.empty()) attribute("serial", id.serial);
  attribute("manufacturer", id.manufacturer);
  attribute("product", id.product);
  attribute("busnum", std::to_string(id.busnum));
  attribute("devnum", std::to_string(id.devnum));
  attribute("bNumInterfaces", " 1");
  attribute("bConfigurationValue", "1");
  attribute("bNumConfigurations", "1");
  attribute("bDeviceClass", "00");
  attribute("speed", "480");
  attribute("dev", format("189:%d", (id.busnum - 1) * 128 + id.devnum - 1));
  text += "H: descriptors=" + hex_bytes(device.descriptors()) + "\n\n";

  text += format("P: %s/%s:1.%d\n", sys_path.c_str(), sys_path.substr(sys_path.rfind('/') + 1).c_str(),
                 id.interface_number);
  text += "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\n";
  if (device.kernel_driver_bound()) text += "E: DRIVER=usbtmc\n";
  text += format("E: INTERFACE=254/3/%d\n", id.interface_protocol);
  attribute("bInterfaceNumber", format("%02x", id.interface_number));
  attribute("bAlternateSetting", " 0");
  attribute("bInterfaceClass", "fe");
  attribute("bInterfaceSubClass", "03");
  attribute("bInterfaceProtocol", format("%02x", id.interface_protocol));
  attribute("bNumEndpoints", format("%02x", id.interrupt_in != 0 ? 3 : 2));
  text += "\n";
  return text;
}

}  // namespace

bool umockdev_preload_loaded() {
  void* preload = ::dlopen("libumockdev-preload.so.0", RTLD_NOW | RTLD_NOLOAD);
  if (preload == nullptr) return false;
  ::dlclose(preload);
  return true;
}

namespace {

constexpr const char* preloaded_mark = "KOBRANT_USB_PRELOADED";

void append_env(const char* name, const std::string& value, const char* separator) {
  const char* old = std::getenv(name);
  const std::string joined = old != nullptr && *old != '\0' ? std::string(old) + separator + value : value;
  ::setenv(name, joined.c_str(), 1);
}

}  // namespace

bool rerun_refused() { return std::getenv(preloaded_mark) != nullptr; }

int rerun_under_preload(char** argv) {
  char dir[] = "/tmp/kbusb-XXXXXX";
  if (::mkdtemp(dir) == nullptr) return -1;
  ::setenv("TMPDIR", dir, 1);
  ::setenv(preloaded_mark, "1", 1);
  append_env("LD_PRELOAD", "libumockdev-preload.so.0", " ");
  append_env("ASAN_OPTIONS", "verify_asan_link_order=0", ":");
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::execv("/proc/self/exe", argv);
    ::_exit(127);
  }
  int status = 0;
  while (pid > 0 && ::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
  if (pid < 0) return -1;
  if (WIFSIGNALED(status)) {
    std::signal(WTERMSIG(status), SIG_DFL);
    std::raise(WTERMSIG(status));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

bool usb_emulation_available(std::string& why) {
  if (umockdev_preload_loaded()) return true;
  why = "USB emulation unavailable: this test process does not run under umockdev's preload library";
  return false;
}

struct usb_testbed::state {
  UMockdevTestbed* testbed = nullptr;
  std::deque<served_device> devices;
  std::deque<kernel_node> kernel_nodes;
  std::vector<std::string> kernel_paths;
};

usb_testbed::usb_testbed() : state_(std::make_unique<state>()) {
  state_->testbed = umockdev_testbed_new();
  if (state_->testbed == nullptr) throw std::runtime_error("umockdev cannot build a testbed");
}

usb_testbed::~usb_testbed() {
  for (auto& dev : state_->devices) {
    const auto& id = dev.model->identity();
    const std::string node = format("/dev/bus/usb/%03d/%03d", id.busnum, id.devnum);
    umockdev_testbed_detach_ioctl(state_->testbed, node.c_str(), nullptr);
    g_object_unref(dev.handler);
    std::lock_guard lock(dev.mutex);
    for (auto& u : dev.urbs) release(u);
  }
  for (std::size_t i = 0; i < state_->kernel_nodes.size(); ++i) {
    umockdev_testbed_detach_ioctl(state_->testbed, state_->kernel_paths[i].c_str(), nullptr);
    g_object_unref(state_->kernel_nodes[i].handler);
  }
  g_object_unref(state_->testbed);
}

std::string usb_testbed::plug(usbtmc_device& device) {
  const auto& id = device.identity();
  const std::string sys_path = format("/devices/pci0000:00/0000:00:14.0/usb%d/%d-%d", id.busnum, id.busnum, id.devnum);
  GError* error = nullptr;
  if (!umockdev_testbed_add_from_string(state_->testbed, describe_device(device, sys_path).c_str(), &error)) {
    const std::string message = error != nullptr ? error->message : "unknown error";
    if (error != nullptr) g_error_free(error);
    throw std::runtime_error("umockdev cannot add the USB device: " + message);
  }
  // The interface's driver link, as the kernel shows a bound driver.
  if (device.kernel_driver_bound()) {
    const std::string interface_path = format("/sys%s/%d-%d:1.%d", sys_path.c_str(), id.busnum, id.devnum, id.interface_number);
    umockdev_testbed_set_attribute_link(state_->testbed, interface_path.c_str(), "driver",
                                        "../../../../../../bus/usb/drivers/usbtmc");
  }
  auto& dev = state_->devices.emplace_back();
  dev.model = &device;
  dev.handler = umockdev_ioctl_base_new();
  g_signal_connect(dev.handler, "handle-ioctl", G_CALLBACK(on_ioctl), &dev);
  const std::string node = format("/dev/bus/usb/%03d/%03d", id.busnum, id.devnum);
  if (!umockdev_testbed_attach_ioctl(state_->testbed, node.c_str(), dev.handler, &error)) {
    const std::string message = error != nullptr ? error->message : "unknown error";
    if (error != nullptr) g_error_free(error);
    throw std::runtime_error("umockdev cannot serve " + node + ": " + message);
  }
  return "/sys" + sys_path;
}

std::string usb_testbed::plug_kernel_driver_node(usbtmc_device& device, int minor) {
  const auto& id = device.identity();
  const std::string sys_path = format("/devices/pci0000:00/0000:00:14.0/usb%d/%d-%d", id.busnum, id.busnum, id.devnum);
  const std::string interface_path = format("%s/%d-%d:1.%d", sys_path.c_str(), id.busnum, id.devnum, id.interface_number);
  const std::string name = format("usbtmc%d", minor);
  const std::string text = describe_device(device, sys_path, false) + "P: " + interface_path + "/usbmisc/" + name +
                           "\nN: " + name + "\nE: SUBSYSTEM=usbmisc\nE: DEVNAME=/dev/" + name +
                           format("\nA: dev=180:%d\\n\n", 176 + minor);
  GError* error = nullptr;
  if (!umockdev_testbed_add_from_string(state_->testbed, text.c_str(), &error)) {
    const std::string message = error != nullptr ? error->message : "unknown error";
    if (error != nullptr) g_error_free(error);
    throw std::runtime_error("umockdev cannot add the usbtmc node: " + message);
  }
  umockdev_testbed_set_attribute_link(state_->testbed, ("/sys" + interface_path).c_str(), "driver",
                                      "../../../../../../bus/usb/drivers/usbtmc");
  auto& node = state_->kernel_nodes.emplace_back();
  node.model = &device;
  node.handler = umockdev_ioctl_base_new();
  g_signal_connect(node.handler, "handle-ioctl", G_CALLBACK(on_kernel_ioctl), &node);
  g_signal_connect(node.handler, "handle-read", G_CALLBACK(on_kernel_read), &node);
  g_signal_connect(node.handler, "handle-write", G_CALLBACK(on_kernel_write), &node);
  const std::string path = "/dev/" + name;
  state_->kernel_paths.push_back(path);
  if (!umockdev_testbed_attach_ioctl(state_->testbed, path.c_str(), node.handler, &error)) {
    const std::string message = error != nullptr ? error->message : "unknown error";
    if (error != nullptr) g_error_free(error);
    throw std::runtime_error("umockdev cannot serve " + path + ": " + message);
  }
  return path;
}

void usb_testbed::unplug(usbtmc_device& device) {
  for (auto& dev : state_->devices) {
    if (dev.model != &device) continue;
    std::lock_guard lock(dev.mutex);
    dev.gone = true;
    device.unplug();
  }
}

unsigned usb_testbed::urbs_submitted(const usbtmc_device& device, std::uint8_t endpoint) {
  for (auto& dev : state_->devices) {
    if (dev.model != &device) continue;
    std::lock_guard lock(dev.mutex);
    return dev.submitted[endpoint];
  }
  return 0;
}

std::string usb_testbed::root() const {
  gchar* root = umockdev_testbed_get_root_dir(state_->testbed);
  std::string out = root;
  g_free(root);
  return out;
}

}  // namespace kobrant::test
