// "search": multicasts M-SEARCH requests (MX 0, so the listener draws no
// MX wait) and times each from its send to the last unicast response. The
// first search learns how many responses the device gives; every later one
// waits for that many.
// "notify": multicasts another device's ssdp:alive NOTIFY at a steady rate,
// the traffic every SSDP listener on a LAN receives and ignores.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "bench/bench_main.h"
#include "bench/bench_util.h"

namespace bench {

namespace {

constexpr char kGroup[] = "239.255.255.250";
constexpr int kSsdpPort = 1900;

int open_search_socket(const std::string& local) {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  inet_pton(AF_INET, local.c_str(), &sa.sin_addr);
  in_addr interface_address = sa.sin_addr;
  unsigned char ttl = 4;
  if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
      setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &interface_address, sizeof interface_address) != 0 ||
      setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Sends one search and collects responses until `expect` arrived (0: until
// quiet_ms passed without one). Times in ms after the send.
struct search_result {
  int responses = 0;
  double first_ms = 0;
  double last_ms = 0;
};

search_result search_once(int fd, const std::string& target, int expect, int quiet_ms) {
  std::string request =
      "M-SEARCH * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nMAN: \"ssdp:discover\"\r\nMX: 0\r\nST: " +
      target + "\r\n\r\n";
  sockaddr_in group{};
  group.sin_family = AF_INET;
  group.sin_port = htons(kSsdpPort);
  inet_pton(AF_INET, kGroup, &group.sin_addr);
  search_result result;
  int64_t start = now_us();
  if (sendto(fd, request.data(), request.size(), 0, reinterpret_cast<sockaddr*>(&group),
             sizeof group) < 0) {
    return result;
  }
  int64_t last = start;
  while (expect == 0 || result.responses < expect) {
    int wait_ms = quiet_ms - static_cast<int>((now_us() - last) / 1000);
    if (wait_ms <= 0) break;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, wait_ms) <= 0) continue;
    char buffer[2048];
    ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) continue;
    last = now_us();
    std::string text(buffer, static_cast<size_t>(n));
    if (text.rfind("HTTP/1.1 200", 0) != 0) continue;
    double ms = static_cast<double>(last - start) / 1000.0;
    if (result.responses == 0) result.first_ms = ms;
    result.last_ms = ms;
    result.responses++;
  }
  return result;
}

}  // namespace

int discovery_bench(const options& opt) {
  std::string local = opt.get("local", "");
  std::string target = opt.get("st", "ssdp:all");
  int searches = opt.get_int("searches", 50);
  std::string prefix = opt.get("prefix", "search");
  int fd = open_search_socket(local);
  if (fd < 0) {
    std::fprintf(stderr, "vbd-bench search: cannot open a socket on %s\n", local.c_str());
    return 1;
  }
  search_result learn = search_once(fd, target, 0, 1000);
  int expect = learn.responses;
  std::vector<double> last, first;
  int short_searches = 0;
  for (int i = 0; i < searches && expect > 0; i++) {
    search_result r = search_once(fd, target, expect, 1000);
    if (r.responses < expect) {
      short_searches++;
      continue;
    }
    last.push_back(r.last_ms);
    first.push_back(r.first_ms);
  }
  close(fd);
  std::printf("%s_responses=%d\n", prefix.c_str(), expect);
  std::printf("%s_count=%zu\n", prefix.c_str(), last.size());
  std::printf("%s_incomplete=%d\n", prefix.c_str(), short_searches);
  std::printf("%s_first_mean=%.3f\n", prefix.c_str(), mean(first));
  std::printf("%s_last_mean=%.3f\n", prefix.c_str(), mean(last));
  std::printf("%s_last_p50=%.3f\n", prefix.c_str(), percentile(last, 50));
  std::printf("%s_last_p99=%.3f\n", prefix.c_str(), percentile(last, 99));
  return expect > 0 && short_searches == 0 ? 0 : 1;
}

int notify_flood(const options& opt) {
  std::string local = opt.get("local", "");
  int rate = opt.get_int("rate", 1000);
  int seconds = opt.get_int("seconds", 10);
  int fd = open_search_socket(local);
  if (fd < 0 || rate <= 0) return 1;
  const std::string notify =
      "NOTIFY * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nCACHE-CONTROL: max-age=1800\r\n"
      "LOCATION: http://" + local + ":49152/rootDesc.xml\r\nNT: upnp:rootdevice\r\n"
      "NTS: ssdp:alive\r\nSERVER: Linux/5.10 UPnP/1.0 Router/1.0\r\n"
      "USN: uuid:00000000-0000-4000-8000-000000000001::upnp:rootdevice\r\n\r\n";
  sockaddr_in group{};
  group.sin_family = AF_INET;
  group.sin_port = htons(kSsdpPort);
  inet_pton(AF_INET, kGroup, &group.sin_addr);
  long total = static_cast<long>(rate) * seconds;
  int64_t start = now_us();
  long sent = 0;
  for (long i = 0; i < total; i++) {
    int64_t due = start + i * 1000000 / rate;
    sleep_us(due - now_us());
    if (sendto(fd, notify.data(), notify.size(), 0, reinterpret_cast<sockaddr*>(&group),
               sizeof group) > 0) {
      sent++;
    }
  }
  close(fd);
  std::printf("notify_sent=%ld\n", sent);
  return 0;
}

}  // namespace bench
