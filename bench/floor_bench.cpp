// The floor of a command round trip, measured on the same machine in the
// same run: what the two hops of a command cost with nothing in between.
//
// "echo-server": a TCP server that answers every line ended by CR with a
// fixed reply line (CR LF), as the control port answers a command; one
// connection at a time, a blocking read, TCP_NODELAY. "cmd" measures it
// across the veth pair exactly as it measures the daemon.
//
// "queue": a System V message queue round trip between two processes in one
// IPC namespace: the parent sends a 200-byte body on type 1, the child
// waits in a blocking msgrcv, sends it back on type 2, and the parent's
// blocking msgrcv takes it; the same procedures as "cmd" (round_trips.h).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/msg.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "bench/bench_main.h"
#include "bench/bench_util.h"
#include "bench/round_trips.h"

namespace bench {

namespace {

constexpr int kBodySize = 200;  // every message between the daemon and the player

struct queue_message {
  long mtype;
  char body[kBodySize];
};

constexpr long kToChild = 1;
constexpr long kToParent = 2;

[[noreturn]] void queue_child(int qid) {
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  queue_message m{};
  for (;;) {
    if (msgrcv(qid, &m, kBodySize, kToChild, 0) < 0) {
      if (errno == EINTR) continue;
      _exit(0);  // the queue is gone
    }
    if (m.body[0] == 1) _exit(0);
    m.mtype = kToParent;
    while (msgsnd(qid, &m, kBodySize, 0) < 0) {
      if (errno != EINTR) _exit(1);
    }
  }
}

void on_child_end(int) {}

}  // namespace

int echo_server(const options& opt) {
  std::string address = opt.get("address", "");
  int port = opt.get_int("port", 8199);
  std::string reply = opt.get("reply", "P03") + "\r\n";
  alarm(static_cast<unsigned>(opt.get_int("lifetime", 3600)));  // never outlives a run

  int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<uint16_t>(port));
  if (listener < 0 || inet_pton(AF_INET, address.c_str(), &sa.sin_addr) != 1 ||
      bind(listener, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || listen(listener, 16) != 0) {
    std::fprintf(stderr, "vbd-bench echo-server: cannot listen on %s:%d: %s\n", address.c_str(),
                 port, std::strerror(errno));
    return 1;
  }
  std::printf("ready\n");
  std::fflush(stdout);
  for (;;) {
    int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      return 1;
    }
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    char buffer[256];
    for (;;) {
      ssize_t n = recv(fd, buffer, sizeof buffer, 0);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      bool ok = true;
      for (ssize_t i = 0; i < n && ok; i++) {
        if (buffer[i] == '\r') ok = send_all(fd, reply.data(), reply.size());
      }
      if (!ok) break;
    }
    close(fd);
  }
}

int queue_floor(const options& opt) {
  std::string prefix = opt.get("prefix", "queue_");
  round_trip_plan plan;
  plan.seconds = opt.get_int("seconds", 10);
  plan.samples = opt.get_int("samples", 1000);
  plan.max_gap_ms = opt.get_int("max-gap-ms", 100);

  // The child's end interrupts a waiting msgrcv (no SA_RESTART).
  struct sigaction action {};
  action.sa_handler = on_child_end;
  sigemptyset(&action.sa_mask);
  sigaction(SIGCHLD, &action, nullptr);

  int qid = msgget(IPC_PRIVATE, IPC_CREAT | 0600);
  if (qid < 0) {
    std::fprintf(stderr, "vbd-bench queue: msgget: %s\n", std::strerror(errno));
    return 1;
  }
  pid_t child = fork();
  if (child < 0) {
    msgctl(qid, IPC_RMID, nullptr);
    return 1;
  }
  if (child == 0) queue_child(qid);

  queue_message out{};
  out.mtype = kToChild;
  std::memset(out.body, 0x5a, sizeof out.body);
  out.body[0] = 0;
  auto once = [&]() -> double {
    queue_message in{};
    int64_t start = now_us();
    if (msgsnd(qid, &out, kBodySize, 0) < 0) return -1;
    if (msgrcv(qid, &in, kBodySize, kToParent, 0) != kBodySize) return -1;
    return static_cast<double>(now_us() - start) / 1000.0;
  };
  round_trip_result result = run_round_trips(once, plan);

  out.body[0] = 1;  // ends the child
  msgsnd(qid, &out, kBodySize, IPC_NOWAIT);
  int64_t deadline = now_us() + 2000000;
  bool reaped = false;
  while (!reaped && now_us() < deadline) {
    reaped = waitpid(child, nullptr, WNOHANG) == child;
    if (!reaped) sleep_us(1000);
  }
  if (!reaped) {
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
  }
  msgctl(qid, IPC_RMID, nullptr);
  print_round_trips(prefix, result);
  return result.errors == 0 ? 0 : 1;
}

}  // namespace bench
