// vbdctl discover: finds players on the LAN with an SSDP search and lists
// each root device whose description is valid XML. This file does the
// network side (interfaces, the search, the description fetch, the control
// port probe) and the options; discover_parse.cpp reads what comes back.
#include "tools/vbdctl/discover.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <getopt.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "tools/vbdctl/discover_parse.h"

namespace vbdctl {

namespace {

using namespace discover;

constexpr int EXIT_FOUND = 0;
constexpr int EXIT_NONE = 1;
constexpr int EXIT_USAGE = 2;

// The description server and the control port are on the LAN: a device
// that takes longer than this is reported as not answering.
constexpr int kFetchTimeoutMs = 3000;
constexpr int kProbeConnectMs = 1000;
// The daemon turns a second address away by closing at once; a connection
// still open after this is taken as accepted.
constexpr int kProbeBusyMs = 300;
// Gap between the two searches (SSDP over UDP may lose either).
constexpr int kRepeatGapMs = 100;
// Distinct answers kept (each costs a fetch and a probe, one after the
// other); a flood beyond this is ignored.
constexpr size_t kAnswersMax = 256;

const char HELP[] =
    "usage: vbdctl discover [options]    (or: vbdctl -d [options])\n"
    "\n"
    "Finds players on the LAN: sends an SSDP search for root devices (twice,\n"
    "as UDP may lose one), fetches the description of every device that\n"
    "answers and lists those whose description is a valid UPnP device\n"
    "description: friendly name, model, manufacturer, address, description\n"
    "URL, UDN, and whether the control port answers there. Devices that\n"
    "answer with something else are reported on standard error.\n"
    "\n"
    "Options:\n"
    "  -t, --timeout MS       wait MS ms for answers (default: MX s + 1 s)\n"
    "  -m, --mx N             MX of the search, 1 to 5 s (default 2): devices\n"
    "                         answer within a random delay of up to N s\n"
    "  -i, --interface NAME|ADDRESS\n"
    "                         search on this IPv4 interface only (default:\n"
    "                         every up, multicast-capable, non-loopback one)\n"
    "  -j, --json             print a JSON array, one object per device\n"
    "  -p, --port PORT        control port to probe (default 8102)\n"
    "      --no-probe         do not probe the control port\n"
    "  -h, --help             this text\n"
    "\n"
    "The probe connects to each device's control port for a moment and tells\n"
    "\"answers\", \"no\" (refused), \"no answer\" (time-out) or \"busy (another\n"
    "address is connected)\". The daemon admits one client address at a time\n"
    "and ends an older connection from the same address when a new one comes:\n"
    "the probe ends a vbdctl or app session this machine has open with that\n"
    "player. Use --no-probe while one is connected.\n"
    "\n"
    "The time-out covers the search only; each description is then fetched\n"
    "(at most 3 s, 256 KiB, no redirects) and each control port probed (1 s).\n"
    "\n"
    "Exit status: 0 at least one device listed; 1 none found; 2 usage error.\n";

struct options {
  int timeout_ms = -1;  // -1: MX seconds + 1 s
  int mx = 2;
  std::string interface;
  bool json = false;
  int port = 8102;
  bool probe = true;
};

long long now_ms() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int remaining(long long deadline) {
  long long left = deadline - now_ms();
  return left > 0 ? static_cast<int>(left) : 0;
}

// A whole decimal number within [min, max].
bool parse_int(const char* text, int min, int max, int* out) {
  char* end = nullptr;
  errno = 0;
  long v = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || v < min || v > max) return false;
  *out = static_cast<int>(v);
  return true;
}

// Returns -1 when the options are fine, else the exit status.
int parse_options(int argc, char** argv, options* opt) {
  enum { NO_PROBE = 1000 };
  static const option LONG_OPTIONS[] = {
      {"timeout", required_argument, nullptr, 't'}, {"mx", required_argument, nullptr, 'm'},
      {"interface", required_argument, nullptr, 'i'}, {"json", no_argument, nullptr, 'j'},
      {"port", required_argument, nullptr, 'p'},     {"no-probe", no_argument, nullptr, NO_PROBE},
      {"help", no_argument, nullptr, 'h'},           {nullptr, 0, nullptr, 0}};
  optind = 0;  // a fresh scan: main may have used getopt before
  int c;
  while ((c = getopt_long(argc, argv, "+t:m:i:jp:h", LONG_OPTIONS, nullptr)) != -1) {
    switch (c) {
      case 't':
        if (!parse_int(optarg, 1, 600000, &opt->timeout_ms)) {
          std::fprintf(stderr, "vbdctl: --timeout wants milliseconds from 1 to 600000, not \"%s\"\n", optarg);
          return EXIT_USAGE;
        }
        break;
      case 'm':
        if (!parse_int(optarg, 1, 5, &opt->mx)) {
          std::fprintf(stderr, "vbdctl: --mx wants 1 to 5, not \"%s\"\n", optarg);
          return EXIT_USAGE;
        }
        break;
      case 'i':
        opt->interface = optarg;
        break;
      case 'j':
        opt->json = true;
        break;
      case 'p':
        if (!parse_int(optarg, 1, 65535, &opt->port)) {
          std::fprintf(stderr, "vbdctl: --port wants 1 to 65535, not \"%s\"\n", optarg);
          return EXIT_USAGE;
        }
        break;
      case NO_PROBE:
        opt->probe = false;
        break;
      case 'h':
        std::fputs(HELP, stdout);
        return EXIT_FOUND;
      default:
        std::fputs("Try 'vbdctl discover --help'.\n", stderr);
        return EXIT_USAGE;
    }
  }
  if (optind < argc) {
    std::fprintf(stderr, "vbdctl: discover takes no arguments (\"%s\")\nTry 'vbdctl discover --help'.\n",
                 argv[optind]);
    return EXIT_USAGE;
  }
  if (opt->timeout_ms < 0) opt->timeout_ms = (opt->mx + 1) * 1000;
  return -1;
}

std::string address_text(in_addr a) {
  char text[INET_ADDRSTRLEN] = "";
  inet_ntop(AF_INET, &a, text, sizeof(text));
  return text;
}

struct interface_address {
  std::string name;
  in_addr address{};
};

// The IPv4 interfaces to search on: the one named (by name or address,
// whatever its flags), or every up, multicast-capable, non-loopback one.
std::vector<interface_address> search_interfaces(const std::string& wanted) {
  std::vector<interface_address> found;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return found;
  for (ifaddrs* i = list; i != nullptr; i = i->ifa_next) {
    if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET) continue;
    interface_address ia{i->ifa_name, reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr};
    if (!wanted.empty()) {
      if (wanted == ia.name || wanted == address_text(ia.address)) found.push_back(ia);
      continue;
    }
    unsigned flags = i->ifa_flags;
    if ((flags & IFF_UP) && (flags & IFF_MULTICAST) && !(flags & IFF_LOOPBACK)) found.push_back(ia);
  }
  freeifaddrs(list);
  return found;
}

// A UDP socket bound to the interface's address, multicast leaving through
// it; -1 (reported) on failure.
int search_socket(const interface_address& ia) {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd == -1) return -1;
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr = ia.address;
  unsigned char ttl = 2;
  if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0 ||
      setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &ia.address, sizeof(ia.address)) != 0 ||
      setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof(ttl)) != 0) {
    std::fprintf(stderr, "vbdctl: cannot search on %s (%s): %s\n", ia.name.c_str(), address_text(ia.address).c_str(),
                 std::strerror(errno));
    close(fd);
    return -1;
  }
  return fd;
}

void send_search(int fd, const interface_address& ia, const std::string& text) {
  sockaddr_in group{};
  group.sin_family = AF_INET;
  group.sin_port = htons(1900);
  inet_pton(AF_INET, "239.255.255.250", &group.sin_addr);
  if (sendto(fd, text.data(), text.size(), 0, reinterpret_cast<sockaddr*>(&group), sizeof(group)) < 0) {
    std::fprintf(stderr, "vbdctl: search on %s (%s) not sent: %s\n", ia.name.c_str(),
                 address_text(ia.address).c_str(), std::strerror(errno));
  }
}

struct heard_answer {
  std::string source;
  ssdp_answer answer;
};

// Searches on every interface twice and collects the distinct answers
// until the time-out. An answer is a repeat when its source has given its
// LOCATION before (whatever the USN): that description is fetched once.
// The same USN at a new LOCATION is another address of a device and is
// kept. Answers that are not usable are reported once each.
std::vector<heard_answer> search(const std::vector<interface_address>& interfaces, const options& opt) {
  std::vector<int> fds;
  std::vector<interface_address> used;
  for (const auto& ia : interfaces) {
    int fd = search_socket(ia);
    if (fd == -1) continue;
    fds.push_back(fd);
    used.push_back(ia);
  }
  const std::string text = msearch(opt.mx);
  const long long start = now_ms();
  const long long deadline = start + opt.timeout_ms;
  long long repeat_at = start + kRepeatGapMs;
  for (size_t i = 0; i < fds.size(); ++i) send_search(fds[i], used[i], text);
  bool repeated = false;

  std::vector<heard_answer> answers;
  std::set<std::pair<std::string, std::string>> seen;
  std::set<std::string> reported;
  static char buffer[65536];
  while (!fds.empty()) {
    int wait = remaining(deadline);
    if (!repeated) wait = std::min(wait, remaining(repeat_at));
    std::vector<pollfd> polls;
    for (int fd : fds) polls.push_back({fd, POLLIN, 0});
    int ready = poll(polls.data(), polls.size(), wait);
    if (ready < 0 && errno != EINTR) break;
    for (size_t i = 0; ready > 0 && i < polls.size(); ++i) {
      if (!(polls[i].revents & POLLIN)) continue;
      sockaddr_in from{};
      socklen_t from_len = sizeof(from);
      ssize_t n = recvfrom(fds[i], buffer, sizeof(buffer), MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from),
                           &from_len);
      if (n < 0) continue;
      heard_answer heard;
      heard.source = address_text(from.sin_addr);
      std::string why;
      if (!parse_answer(std::string_view(buffer, static_cast<size_t>(n)), &heard.answer, &why)) {
        if (reported.size() < kAnswersMax && reported.insert(heard.source + " " + why).second)
          std::fprintf(stderr, "vbdctl: %s: %s, skipped\n", heard.source.c_str(), why.c_str());
        continue;
      }
      if (answers.size() < kAnswersMax && seen.insert({heard.source, heard.answer.location}).second)
        answers.push_back(std::move(heard));
    }
    if (!repeated && now_ms() >= repeat_at) {
      for (size_t i = 0; i < fds.size(); ++i) send_search(fds[i], used[i], text);
      repeated = true;
    }
    if (now_ms() >= deadline) break;
  }
  for (int fd : fds) close(fd);
  return answers;
}

// Connects a non-blocking TCP socket within timeout_ms. The descriptor, or
// -1 with errno set (ETIMEDOUT on time-out).
int connect_within(const sockaddr_in& to, int timeout_ms) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd == -1) return -1;
  if (connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof(to)) == 0) return fd;
  if (errno != EINPROGRESS) {
    int e = errno;
    close(fd);
    errno = e;
    return -1;
  }
  pollfd p{fd, POLLOUT, 0};
  int r;
  do {
    r = poll(&p, 1, timeout_ms);
  } while (r < 0 && errno == EINTR);
  if (r <= 0) {
    close(fd);
    errno = ETIMEDOUT;
    return -1;
  }
  int error = 0;
  socklen_t len = sizeof(error);
  getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len);
  if (error != 0) {
    close(fd);
    errno = error;
    return -1;
  }
  return fd;
}

// Fetches the description; false with the reason.
bool fetch(const http_url& url, std::string* body, std::string* why) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(url.port));
  if (inet_pton(AF_INET, url.host.c_str(), &to.sin_addr) != 1) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    int rc = getaddrinfo(url.host.c_str(), nullptr, &hints, &found);
    if (rc != 0 || found == nullptr) {
      *why = "cannot resolve " + url.host + ": " + gai_strerror(rc);
      return false;
    }
    to.sin_addr = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr;
    freeaddrinfo(found);
  }
  const long long deadline = now_ms() + kFetchTimeoutMs;
  int fd = connect_within(to, kFetchTimeoutMs);
  if (fd == -1) {
    *why = std::string("cannot fetch the description: ") +
           (errno == ETIMEDOUT ? "no answer within " + std::to_string(kFetchTimeoutMs) + " ms" : std::strerror(errno));
    return false;
  }
  std::string request = http_request(url);
  size_t sent = 0;
  std::string raw;
  bool closed = false;
  http_state state = http_state::incomplete;
  while (state == http_state::incomplete) {
    short events = POLLIN;
    if (sent < request.size()) events |= POLLOUT;
    pollfd p{fd, events, 0};
    int r = poll(&p, 1, remaining(deadline));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    if ((p.revents & POLLOUT) && sent < request.size()) {
      ssize_t n = send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
      if (n > 0) sent += static_cast<size_t>(n);
    }
    if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
      char chunk[16384];
      ssize_t n = recv(fd, chunk, sizeof(chunk), 0);
      if (n > 0) {
        raw.append(chunk, static_cast<size_t>(n));
      } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
        closed = true;
      }
      // Headers and a body over the cap are refused by the parser; no
      // more than a little over it is ever held.
      state = parse_http_response(raw, closed, body, why);
      if (state == http_state::incomplete && closed) state = http_state::bad;
    }
  }
  close(fd);
  if (state == http_state::incomplete) {
    *why = "no complete description within " + std::to_string(kFetchTimeoutMs) + " ms";
    return false;
  }
  return state == http_state::done;
}

// Whether the control port answers at the device's address.
std::string probe(const std::string& address, int port) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(port));
  if (inet_pton(AF_INET, address.c_str(), &to.sin_addr) != 1) return "no answer";
  int fd = connect_within(to, kProbeConnectMs);
  if (fd == -1) return errno == ECONNREFUSED ? "no" : "no answer";
  // Turned away: the server closes (or resets) right after accepting.
  std::string result = "answers";
  pollfd p{fd, POLLIN, 0};
  long long deadline = now_ms() + kProbeBusyMs;
  for (;;) {
    int r = poll(&p, 1, remaining(deadline));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    char byte[256];
    ssize_t n = recv(fd, byte, sizeof(byte), 0);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
      result = "busy (another address is connected)";
      break;
    }
    if (n > 0) break;  // it speaks: accepted
  }
  close(fd);
  return result;
}

// Standard error sent to /dev/null while it lives: the XML parser prints
// its own diagnostics there, and vbdctl says in one line what was wrong.
class quiet_stderr {
 public:
  quiet_stderr() {
    std::fflush(stderr);
    saved_ = dup(STDERR_FILENO);
    int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (saved_ != -1 && null != -1) dup2(null, STDERR_FILENO);
    if (null != -1) close(null);
  }
  ~quiet_stderr() {
    std::fflush(stderr);
    if (saved_ != -1) {
      dup2(saved_, STDERR_FILENO);
      close(saved_);
    }
  }
  quiet_stderr(const quiet_stderr&) = delete;
  quiet_stderr& operator=(const quiet_stderr&) = delete;

 private:
  int saved_ = -1;
};

// Numeric order of the addresses, then the URL, so the list is stable.
bool listed_before(const device& a, const device& b) {
  in_addr x{};
  in_addr y{};
  inet_pton(AF_INET, a.address.c_str(), &x);
  inet_pton(AF_INET, b.address.c_str(), &y);
  if (x.s_addr != y.s_addr) return ntohl(x.s_addr) < ntohl(y.s_addr);
  return a.location < b.location;
}

}  // namespace

int discover_main(int argc, char** argv) {
  options opt;
  int rc = parse_options(argc, argv, &opt);
  if (rc != -1) return rc;

  std::vector<interface_address> interfaces = search_interfaces(opt.interface);
  if (interfaces.empty()) {
    if (!opt.interface.empty()) {
      std::fprintf(stderr, "vbdctl: no IPv4 interface \"%s\" (give a name or an address)\n",
                   printable(opt.interface).c_str());
      return EXIT_USAGE;
    }
    std::fputs("vbdctl: no up, multicast-capable, non-loopback IPv4 interface to search on\n", stderr);
    return EXIT_NONE;
  }

  std::vector<device> devices;
  for (const heard_answer& heard : search(interfaces, opt)) {
    const std::string where = heard.source + " (" + printable(heard.answer.location.substr(0, 200)) + ")";
    http_url url;
    std::string why;
    std::string body;
    device d;
    if (!parse_http_url(heard.answer.location, &url, &why) || !fetch(url, &body, &why)) {
      std::fprintf(stderr, "vbdctl: %s: %s, skipped\n", where.c_str(), why.c_str());
      continue;
    }
    bool valid;
    {
      quiet_stderr quiet;
      valid = parse_description(body, &d.description, &why);
    }
    if (!valid) {
      std::fprintf(stderr, "vbdctl: %s: %s, skipped\n", where.c_str(), why.c_str());
      continue;
    }
    d.address = heard.source;
    d.location = heard.answer.location;
    d.control_port = opt.port;
    if (opt.probe) d.control = probe(d.address, opt.port);
    devices.push_back(std::move(d));
  }
  std::sort(devices.begin(), devices.end(), listed_before);

  if (opt.json) {
    std::fputs(format_json(devices).c_str(), stdout);
  } else if (devices.empty()) {
    std::fputs("no players found\n", stderr);
  } else {
    std::fputs(format_text(devices).c_str(), stdout);
  }
  std::fflush(stdout);
  return devices.empty() ? EXIT_NONE : EXIT_FOUND;
}

}  // namespace vbdctl
