// kobrant-sim: a simulated instrument on loopback (or any local address) for tests, demos and
// benchmarks. It prints one VISA resource name per transport it serves, then serves until
// SIGTERM or SIGINT and exits 0. Bad options exit 2; a server that cannot start exits 1.
#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "hostile.h"
#include "tcp.h"
#include "record.h"
#include "server.h"
#include "server_socket.h"
#include "server_vxi11.h"
#include "server_hislip.h"
#include "server_serial.h"

namespace {

using namespace kobrant::sim;

constexpr const char* usage_text =
    "usage: kobrant-sim [--address ADDR] [--socket PORT] [--vxi11 PORT] [--hislip PORT]\n"
    "                   [--serial] [--record FILE] [--hostile MODE]\n"
    "  --address ADDR  numeric address to listen on (IPv6 such as ::1); default both\n"
    "                  127.0.0.1 and ::1 at the same port, the IPv4 name printed\n"
    "  --socket PORT   serve raw SCPI over TCP on PORT (0: any free port; the default)\n"
    "  --vxi11 PORT    serve VXI-11: the core channel on PORT (0: any free port), the port\n"
    "                  mapper on port 111\n"
    "  --vxi11-max-recv BYTES  largest device_write the VXI-11 server takes (default 1048576)\n"
    "  --portmap-port PORT     serve the VXI-11 port mapper on PORT instead of 111 (clients ask\n"
    "                  111: for runs beside a system port mapper)\n"
    "  --portmap-udp PORT      answer the port mapper's GETPORT over UDP on PORT, and on the\n"
    "                  address's subnet broadcast, for discovery (0: not at all; default the\n"
    "                  --portmap-port number, where that UDP port is free)\n"
    "  --hislip PORT   serve HiSLIP on PORT (0: any free port)\n"
    "  --hislip-max-message BYTES  largest HiSLIP message, header included, the server takes\n"
    "                  and sends (default 1048576)\n"
    "  --serial        serve a serial instrument on a new pseudo-terminal; its line reads\n"
    "                  ASRL/dev/pts/N::INSTR\n"
    "  --record FILE   append a line per received message to FILE\n"
    "  --hostile MODE  the VXI-11 and HiSLIP servers misbehave for every client: garbage-header\n"
    "                  or huge-length (each answer breaks off after its first half with bytes\n"
    "                  that are no header, or a header announcing an absurd length),\n"
    "                  mute-handshake (the port mapper or Initialize is never answered),\n"
    "                  mute-link (VXI-11: create_link is never answered); default none\n";

struct sim_options;

// One row per transport the simulator serves: the option that asks for it, whether that option
// takes a port, and how its server starts. A new transport is one server file and one row.
struct transport_row {
  std::string_view option;
  bool takes_port;
  std::unique_ptr<server> (*start)(const sim_options& options, std::uint16_t port, const record& rec);
};

struct transport_request {
  const transport_row* row;
  std::uint16_t port;
};

struct sim_options {
  std::string address = "127.0.0.1";
  bool address_given = false;
  std::vector<transport_request> transports;
  std::optional<std::string> record_path;
  std::uint16_t portmap_port = 111;
  std::optional<std::uint16_t> portmap_udp_port;  // nullopt: the TCP mapper's, where free
  std::uint32_t vxi11_max_recv_size = vxi11_default_max_recv_size;
  std::uint64_t hislip_max_message = hislip_default_max_message_size;
  hostile hostile_mode = hostile::none;
  bool help = false;
};

class bad_option : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

std::unique_ptr<server> start_socket(const sim_options& options, std::uint16_t port, const record& rec) {
  return make_socket_server(options.address, port, rec);
}

std::unique_ptr<server> start_vxi11(const sim_options& options, std::uint16_t port, const record& rec) {
  return make_vxi11_server(options.address, port, options.portmap_port, options.portmap_udp_port,
                           options.vxi11_max_recv_size, rec, options.hostile_mode);
}

std::unique_ptr<server> start_hislip(const sim_options& options, std::uint16_t port, const record& rec) {
  return make_hislip_server(options.address, port, rec, options.hislip_max_message, options.hostile_mode);
}

std::unique_ptr<server> start_serial(const sim_options&, std::uint16_t, const record& rec) {
  return make_serial_server(rec);
}

constexpr transport_row transports[] = {
    {"--socket", true, start_socket},
    {"--vxi11", true, start_vxi11},
    {"--hislip", true, start_hislip},
    {"--serial", false, start_serial},
};

const transport_row* find_transport(std::string_view option) {
  for (const auto& row : transports) {
    if (row.option == option) return &row;
  }
  return nullptr;
}

std::uint16_t parse_port(std::string_view text) {
  unsigned long value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') throw bad_option("not a port number: " + std::string(text));
    value = value * 10 + static_cast<unsigned long>(c - '0');
    if (value > 65535) throw bad_option("port out of range: " + std::string(text));
  }
  if (text.empty()) throw bad_option("empty port number");
  return static_cast<std::uint16_t>(value);
}

std::uint32_t parse_size(std::string_view text, std::uint32_t min, std::uint32_t max) {
  std::uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') throw bad_option("not a number: " + std::string(text));
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
    if (value > max) throw bad_option("out of range: " + std::string(text));
  }
  if (text.empty() || value < min) throw bad_option("out of range: " + std::string(text));
  return static_cast<std::uint32_t>(value);
}

// Takes "--name value" and "--name=value".
sim_options parse_options(int argc, char** argv) {
  sim_options options;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    std::optional<std::string_view> inline_value;
    if (const auto eq = arg.find('='); arg.starts_with("--") && eq != std::string_view::npos) {
      inline_value = arg.substr(eq + 1);
      arg = arg.substr(0, eq);
    }
    const auto value = [&]() -> std::string_view {
      if (inline_value) return *inline_value;
      if (i + 1 >= argc) throw bad_option(std::string(arg) + " needs a value");
      return argv[++i];
    };
    if (arg == "--help" || arg == "-h") {
      options.help = true;
    } else if (arg == "--address") {
      options.address = value();
      options.address_given = true;
    } else if (const transport_row* row = find_transport(arg)) {
      if (row->takes_port) {
        options.transports.push_back({row, parse_port(value())});
      } else {
        if (inline_value) throw bad_option(std::string(arg) + " takes no value");
        options.transports.push_back({row, 0});
      }
    } else if (arg == "--vxi11-max-recv") {
      options.vxi11_max_recv_size = parse_size(value(), 1, vxi11_max_max_recv_size);
    } else if (arg == "--hislip-max-message") {
      // More than a header, or no message could carry a byte.
      options.hislip_max_message = parse_size(value(), 17, 0xFFFFFFFF);
    } else if (arg == "--portmap-port") {
      options.portmap_port = parse_port(value());
    } else if (arg == "--portmap-udp") {
      options.portmap_udp_port = parse_port(value());
    } else if (arg == "--hostile") {
      const auto name = value();
      const auto mode = parse_hostile(name);
      if (!mode) throw bad_option("unknown hostile mode: " + std::string(name));
      options.hostile_mode = *mode;
    } else if (arg == "--record") {
      options.record_path = value();
      if (options.record_path->empty()) throw bad_option("--record needs a file name");
    } else {
      throw bad_option("unknown option: " + std::string(argv[i]));
    }
  }
  if (options.transports.empty()) options.transports.push_back({&transports[0], 0});
  return options;
}

int run(const sim_options& options) {
  // Signals are taken by sigwait() below, so every thread must have them blocked: the mask
  // is set before any server starts a thread, and threads inherit it.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  // A client that hangs up mid-answer must not end the simulator.
  ::signal(SIGPIPE, SIG_IGN);

  if (!options.address_given) listen_on_both_loopbacks();
  record rec;
  std::vector<std::unique_ptr<server>> servers;
  try {
    if (options.record_path) rec = record(*options.record_path);
    for (const auto& request : options.transports) {
      servers.push_back(request.row->start(options, request.port, rec));
    }
  } catch (const bad_address& e) {
    std::fprintf(stderr, "kobrant-sim: %s\n", e.what());
    return 2;
  } catch (const std::system_error& e) {
    std::fprintf(stderr, "kobrant-sim: %s\n", e.what());
    return 1;
  }

  for (const auto& s : servers) std::printf("%s\n", s->resource_name().c_str());
  std::fflush(stdout);

  int signal_number = 0;
  while (sigwait(&stop_signals, &signal_number) != 0) {
  }
  for (const auto& s : servers) s->stop();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  sim_options options;
  try {
    options = parse_options(argc, argv);
  } catch (const bad_option& e) {
    std::fprintf(stderr, "kobrant-sim: %s\n%s", e.what(), usage_text);
    return 2;
  }
  if (options.help) {
    std::fputs(usage_text, stdout);
    return 0;
  }
  return run(options);
}
