// libusb-1.0, loaded on first use instead of at start. Linking it would load libusb, libudev
// and their dependencies into every process that uses the library, a fifth of the start-up
// time of a short query that never touches USB. Each libusb function the library calls has a
// forwarder here with the header's own signature: the first call opens libusb-1.0.so.0 and
// looks the function up. Where libusb is not installed, libusb_init fails with
// LIBUSB_ERROR_NOT_SUPPORTED (the USB row then reports USB as not available) and every other
// call gets the same error or an empty result. A libusb function the library starts to call
// needs a line here, or the link fails.
#include <dlfcn.h>
#include <libusb.h>

namespace {

void* libusb_handle() {
  static void* const handle = ::dlopen("libusb-1.0.so.0", RTLD_NOW | RTLD_LOCAL);
  return handle;
}

void* libusb_symbol(const char* name) {
  void* handle = libusb_handle();
  return handle ? ::dlsym(handle, name) : nullptr;
}

constexpr int unsupported = LIBUSB_ERROR_NOT_SUPPORTED;

}  // namespace

// One forwarder: looks the function up once, then calls it; fallback when libusb is missing.
#define KOBRANT_LIBUSB_FORWARD(result, name, fallback, params, args)                          \
  result LIBUSB_CALL name params {                                                            \
    static const auto real = reinterpret_cast<decltype(&name)>(libusb_symbol(#name));         \
    if (!real) return fallback;                                                               \
    return real args;                                                                         \
  }

extern "C" {

KOBRANT_LIBUSB_FORWARD(int, libusb_init, unsupported, (libusb_context** ctx), (ctx))
KOBRANT_LIBUSB_FORWARD(void, libusb_exit, void(), (libusb_context* ctx), (ctx))
KOBRANT_LIBUSB_FORWARD(const char*, libusb_strerror, "libusb-1.0 is not installed", (int errcode), (errcode))
KOBRANT_LIBUSB_FORWARD(ssize_t, libusb_get_device_list, unsupported, (libusb_context* ctx, libusb_device*** list),
                       (ctx, list))
KOBRANT_LIBUSB_FORWARD(void, libusb_free_device_list, void(), (libusb_device** list, int unref_devices),
                       (list, unref_devices))
KOBRANT_LIBUSB_FORWARD(uint8_t, libusb_get_bus_number, 0, (libusb_device* dev), (dev))
KOBRANT_LIBUSB_FORWARD(uint8_t, libusb_get_device_address, 0, (libusb_device* dev), (dev))
KOBRANT_LIBUSB_FORWARD(int, libusb_get_active_config_descriptor, unsupported,
                       (libusb_device* dev, libusb_config_descriptor** config), (dev, config))
KOBRANT_LIBUSB_FORWARD(int, libusb_get_config_descriptor, unsupported,
                       (libusb_device* dev, uint8_t config_index, libusb_config_descriptor** config),
                       (dev, config_index, config))
KOBRANT_LIBUSB_FORWARD(void, libusb_free_config_descriptor, void(), (libusb_config_descriptor* config), (config))
KOBRANT_LIBUSB_FORWARD(int, libusb_open, unsupported, (libusb_device* dev, libusb_device_handle** dev_handle),
                       (dev, dev_handle))
KOBRANT_LIBUSB_FORWARD(void, libusb_close, void(), (libusb_device_handle* dev_handle), (dev_handle))
KOBRANT_LIBUSB_FORWARD(int, libusb_get_configuration, unsupported, (libusb_device_handle* dev, int* config),
                       (dev, config))
KOBRANT_LIBUSB_FORWARD(int, libusb_set_configuration, unsupported, (libusb_device_handle* dev_handle, int configuration),
                       (dev_handle, configuration))
KOBRANT_LIBUSB_FORWARD(int, libusb_set_auto_detach_kernel_driver, unsupported,
                       (libusb_device_handle* dev_handle, int enable), (dev_handle, enable))
KOBRANT_LIBUSB_FORWARD(int, libusb_claim_interface, unsupported, (libusb_device_handle* dev_handle, int interface_number),
                       (dev_handle, interface_number))
KOBRANT_LIBUSB_FORWARD(int, libusb_release_interface, unsupported,
                       (libusb_device_handle* dev_handle, int interface_number), (dev_handle, interface_number))
KOBRANT_LIBUSB_FORWARD(int, libusb_set_interface_alt_setting, unsupported,
                       (libusb_device_handle* dev_handle, int interface_number, int alternate_setting),
                       (dev_handle, interface_number, alternate_setting))
KOBRANT_LIBUSB_FORWARD(int, libusb_clear_halt, unsupported, (libusb_device_handle* dev_handle, unsigned char endpoint),
                       (dev_handle, endpoint))
KOBRANT_LIBUSB_FORWARD(libusb_transfer*, libusb_alloc_transfer, nullptr, (int iso_packets), (iso_packets))
KOBRANT_LIBUSB_FORWARD(void, libusb_free_transfer, void(), (libusb_transfer* transfer), (transfer))
KOBRANT_LIBUSB_FORWARD(int, libusb_submit_transfer, unsupported, (libusb_transfer* transfer), (transfer))
KOBRANT_LIBUSB_FORWARD(int, libusb_cancel_transfer, unsupported, (libusb_transfer* transfer), (transfer))
KOBRANT_LIBUSB_FORWARD(int, libusb_handle_events_timeout_completed, unsupported,
                       (libusb_context* ctx, struct timeval* tv, int* completed), (ctx, tv, completed))
KOBRANT_LIBUSB_FORWARD(const libusb_pollfd**, libusb_get_pollfds, nullptr, (libusb_context* ctx), (ctx))
KOBRANT_LIBUSB_FORWARD(void, libusb_free_pollfds, void(), (const libusb_pollfd** pollfds), (pollfds))

}  // extern "C"
