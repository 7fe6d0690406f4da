// "search": multicasts M-SEARCH requests and times each from its send to the
// last unicast response. The first search learns how many responses the
// device gives; every later one waits for that many. The daemon answers one
// source address only so many times a second, all sources together only so
// many, and a repeated search (same address, port and ST within its MX
// window) once; so the searches go from several local addresses in turn,
// each with its own socket, spaced so that no search meets a cap or counts
// as a repeat, and the figure is the time to the answers, not the caps.
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
  if (inet_pton(AF_INET, local.c_str(), &sa.sin_addr) != 1) {
    close(fd);
    return -1;
  }
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

// The daemon's limits that the searches stay under: answers are counted per
// second, and a search is remembered as a repeat for MX quarter seconds.
constexpr int kCapPeriodMs = 1000;
constexpr int kMxStepMs = 250;
// Kept on top of every spacing, for the two clocks' millisecond steps.
constexpr int kSlackMs = 20;

// Sends one search and collects responses until `expect` arrived (0: until
// quiet_ms passed without one). Times in ms after the send.
struct search_result {
  int64_t sent_us = 0;
  int responses = 0;
  double first_ms = 0;
  double last_ms = 0;
};

// Drops what a socket still holds (a late answer to an earlier search), so
// that it is not counted for the next one.
void drain(int fd) {
  char buffer[2048];
  while (recv(fd, buffer, sizeof buffer, MSG_DONTWAIT) > 0) {
  }
}

search_result search_once(int fd, const std::string& target, int mx, int expect, int quiet_ms) {
  std::string request =
      "M-SEARCH * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nMAN: \"ssdp:discover\"\r\nMX: " +
      std::to_string(mx) + "\r\nST: " + target + "\r\n\r\n";
  sockaddr_in group{};
  group.sin_family = AF_INET;
  group.sin_port = htons(kSsdpPort);
  inet_pton(AF_INET, kGroup, &group.sin_addr);
  search_result result;
  drain(fd);
  int64_t start = now_us();
  result.sent_us = start;
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

// The least time between two searches at which no second of the daemon's
// (with the slack) takes in more than `in_all` answers of `expect` each;
// -1 when not even one search fits.
int search_spacing_ms(int expect, int in_all) {
  int per_period = in_all / expect;
  if (per_period < 1) return -1;
  int gap = 1;
  while ((kCapPeriodMs + kSlackMs) / gap + 1 > per_period) gap++;
  return gap;
}

// The expected latest of `answers` waits drawn as the daemon draws them:
// whole milliseconds, uniform over 0 .. window_ms - 1.
double expected_latest_wait_ms(int window_ms, int answers) {
  double sum = 0;
  for (int k = 0; k < window_ms; k++) {
    double all_at_most_k = 1;
    for (int i = 0; i < answers; i++) all_at_most_k *= static_cast<double>(k + 1) / window_ms;
    sum += 1 - all_at_most_k;
  }
  return sum;
}

struct search_source {
  std::string address;
  int fd = -1;
  int64_t last_sent_us = 0;
  bool used = false;
};

}  // namespace

int discovery_bench(const options& opt) {
  std::vector<std::string> locals = split_list(opt.get("local", ""));
  std::string target = opt.get("st", "ssdp:all");
  int mx = opt.get_int("mx", 0);
  int searches = opt.get_int("searches", 50);
  // The daemon's caps: answers per source address, and in all, a second.
  int per_source = opt.get_int("per-source", 10);
  int in_all = opt.get_int("in-all", 100);
  std::string prefix = opt.get("prefix", "search");
  if (locals.empty() || mx < 0 || per_source < 1 || in_all < 1) {
    std::fprintf(stderr,
                 "vbd-bench search: needs --local ADDRESS[,ADDRESS...], --mx of 0 or more and "
                 "caps of 1 or more\n");
    return 2;
  }
  std::vector<search_source> sources(locals.size());
  bool opened = true;
  for (size_t i = 0; i < locals.size(); i++) {
    sources[i].address = locals[i];
    sources[i].fd = open_search_socket(locals[i]);
    if (sources[i].fd < 0) {
      std::fprintf(stderr, "vbd-bench search: cannot open a socket on %s\n", locals[i].c_str());
      opened = false;
    }
  }
  auto close_all = [&sources] {
    for (search_source& s : sources) {
      if (s.fd >= 0) close(s.fd);
    }
  };
  if (!opened) {
    close_all();
    return 1;
  }

  const int window_ms = mx * kMxStepMs;
  const int quiet_ms = window_ms + 1000;
  // One search a second per address, and none again within its MX window.
  const int64_t reuse_us =
      static_cast<int64_t>((window_ms > kCapPeriodMs ? window_ms : kCapPeriodMs) + kSlackMs) * 1000;
  // An earlier run's searches (from these addresses too) may still count
  // in a running second of the caps: the first search waits until every
  // such second is over.
  sleep_us(reuse_us);
  search_result learn = search_once(sources[0].fd, target, mx, 0, quiet_ms);
  sources[0].last_sent_us = learn.sent_us;
  sources[0].used = true;
  const int expect = learn.responses;
  if (expect == 0 || expect > per_source) {
    std::fprintf(stderr, "vbd-bench search: the first search got %d responses\n", expect);
    close_all();
    return 1;
  }
  if (expect == per_source) {
    std::fprintf(stderr,
                 "vbd-bench search: the first search got %d responses, as many as one source may "
                 "have a second: the device may have more\n", expect);
  }
  const int64_t gap_us = static_cast<int64_t>(search_spacing_ms(expect, in_all)) * 1000;

  std::vector<double> last, first;
  int short_searches = 0;
  int64_t previous_us = learn.sent_us;
  for (int i = 0; i < searches; i++) {
    search_source& source = sources[static_cast<size_t>(i + 1) % sources.size()];
    int64_t due = previous_us + gap_us;
    if (source.used && source.last_sent_us + reuse_us > due) due = source.last_sent_us + reuse_us;
    sleep_us(due - now_us());
    search_result r = search_once(source.fd, target, mx, expect, quiet_ms);
    previous_us = r.sent_us;
    source.last_sent_us = r.sent_us;
    source.used = true;
    if (r.responses < expect) {
      short_searches++;
      continue;
    }
    last.push_back(r.last_ms);
    first.push_back(r.first_ms);
  }
  close_all();
  std::printf("%s_mx=%d\n", prefix.c_str(), mx);
  std::printf("%s_sources=%zu\n", prefix.c_str(), sources.size());
  std::printf("%s_spacing_ms=%lld\n", prefix.c_str(), static_cast<long long>(gap_us / 1000));
  std::printf("%s_responses=%d\n", prefix.c_str(), expect);
  std::printf("%s_searches=%d\n", prefix.c_str(), searches);
  std::printf("%s_count=%zu\n", prefix.c_str(), last.size());
  std::printf("%s_incomplete=%d\n", prefix.c_str(), short_searches);
  std::printf("%s_wait_expected=%.3f\n", prefix.c_str(), expected_latest_wait_ms(window_ms, expect));
  std::printf("%s_first_mean=%.3f\n", prefix.c_str(), mean(first));
  std::printf("%s_last_mean=%.3f\n", prefix.c_str(), mean(last));
  std::printf("%s_last_p50=%.3f\n", prefix.c_str(), percentile(last, 50));
  std::printf("%s_last_p99=%.3f\n", prefix.c_str(), percentile(last, 99));
  return 0;
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
