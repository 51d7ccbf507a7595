/* usb_min_client: the floor of the USB benchmarks. The least a USBTMC client can do over
 * libusb: open the device by vendor and product id, claim interface 0 (detaching the kernel
 * driver), send one command with EOM, then ask for the answer one REQUEST_DEV_DEP_MSG_IN at a
 * time until a transfer carries EOM.
 *
 *   usb_min_client VID PID COMMAND            prints the answer
 *   usb_min_client VID PID COMMAND OUTFILE    stores every byte of the answer in OUTFILE
 *
 * VID and PID in hex. Each request asks for 204810 bytes (kobrant's default buffer) into one
 * buffer of whole 512-byte packets, so both clients move the same transfers. Endpoints are
 * the usual 0x01 out and 0x82 in. Exit status 0 only when the whole answer arrived (EOM) with
 * consistent headers and was stored; anything else is an error, so a broken run never passes
 * for a fast one.
 *   cc -O2 -o usb_min_client usb_min_client.c $(pkg-config --cflags --libs libusb-1.0)
 */
#include <libusb.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

enum { request_size = 204810, packet = 512, timeout_ms = 30000 };
enum { in_size = (12 + request_size + 3 + packet - 1) / packet * packet };

static unsigned char in[in_size];

static int fail(const char *what, int rc)
{
    fprintf(stderr, "usb_min_client: %s: %s\n", what, libusb_error_name(rc));
    return 1;
}

static void header(unsigned char *h, unsigned char msg_id, unsigned char tag, unsigned size, int eom)
{
    memset(h, 0, 12);
    h[0] = msg_id;
    h[1] = tag;
    h[2] = (unsigned char)~tag;
    h[4] = (unsigned char)size;
    h[5] = (unsigned char)(size >> 8);
    h[6] = (unsigned char)(size >> 16);
    h[7] = (unsigned char)(size >> 24);
    h[8] = eom ? 1 : 0;
}

static unsigned char next_tag(unsigned char tag) { return tag == 255 ? 1 : (unsigned char)(tag + 1); }

int main(int argc, char **argv)
{
    if (argc != 4 && argc != 5) {
        fprintf(stderr, "usage: usb_min_client VID PID COMMAND [OUTFILE]\n");
        return 2;
    }
    const unsigned vid = (unsigned)strtoul(argv[1], NULL, 16), pid = (unsigned)strtoul(argv[2], NULL, 16);
    const size_t command_len = strlen(argv[3]) + 1;
    if (command_len > 4096)
        return fail("command too long", LIBUSB_ERROR_INVALID_PARAM);
    FILE *out = argc == 5 ? fopen(argv[4], "wb") : stdout;
    if (out == NULL) {
        perror("usb_min_client: OUTFILE");
        return 1;
    }

    libusb_context *context = NULL;
    int rc = libusb_init(&context);
    if (rc != 0)
        return fail("libusb_init", rc);
    libusb_device_handle *handle = libusb_open_device_with_vid_pid(context, (uint16_t)vid, (uint16_t)pid);
    if (handle == NULL)
        return fail("open", LIBUSB_ERROR_NO_DEVICE);
    libusb_set_auto_detach_kernel_driver(handle, 1);
    rc = libusb_claim_interface(handle, 0);
    if (rc != 0)
        return fail("claim interface 0", rc);

    unsigned char message[12 + 4096 + 4];
    unsigned char tag = 1;
    header(message, 1, tag, (unsigned)command_len, 1);
    memcpy(message + 12, argv[3], command_len - 1);
    message[12 + command_len - 1] = '\n';
    int length = (int)((12 + command_len + 3) & ~(size_t)3), moved = 0;
    memset(message + 12 + command_len, 0, (size_t)length - 12 - command_len);
    rc = libusb_bulk_transfer(handle, 0x01, message, length, &moved, timeout_ms);
    if (rc != 0)
        return fail("write", rc);

    int status = 1;
    for (;;) {
        tag = next_tag(tag);
        header(message, 2, tag, request_size, 0);
        rc = libusb_bulk_transfer(handle, 0x01, message, 12, &moved, timeout_ms);
        if (rc != 0) {
            fail("request", rc);
            break;
        }
        rc = libusb_bulk_transfer(handle, 0x82, in, in_size, &moved, timeout_ms);
        if (rc != 0) {
            fail("read", rc);
            break;
        }
        const unsigned size = in[4] | in[5] << 8 | in[6] << 16 | (unsigned)in[7] << 24;
        if (moved < 12 || in[0] != 2 || in[1] != tag || in[2] != (unsigned char)~tag || size > request_size ||
            (unsigned)moved < 12 + size) {
            fprintf(stderr, "usb_min_client: bad Bulk-IN header\n");
            break;
        }
        if (fwrite(in + 12, 1, size, out) != size) {
            perror("usb_min_client: write");
            break;
        }
        if (in[8] & 1) {
            status = 0;
            break;
        }
    }
    libusb_release_interface(handle, 0);
    libusb_close(handle);
    libusb_exit(context);
    if (out != stdout && fclose(out) != 0) {
        perror("usb_min_client: close");
        status = 1;
    }
    return status;
}
