// vbd-bench: load and measurement client for bench/run.
#include <cstdio>
#include <cstring>

#include "bench/bench_main.h"

namespace {

struct subcommand {
  const char* name;
  int (*run)(const bench::options&);
};

constexpr subcommand kSubcommands[] = {
    {"cmd", bench::command_bench},      {"echo-server", bench::echo_server},
    {"queue", bench::queue_floor},      {"search", bench::discovery_bench},
    {"notify", bench::notify_flood},    {"startup", bench::startup_bench},
    {"stop", bench::stop_bench},        {"reconnect", bench::reconnect_bench},
    {"hold", bench::connection_hold},   {"get", bench::http_get},
    {"stats", bench::process_stats},    {"wake-cost", bench::wake_cost},
};

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2) {
    for (const subcommand& s : kSubcommands) {
      if (std::strcmp(argv[1], s.name) == 0) {
        bench::options opt;
        for (int i = 2; i < argc; i++) opt.args.emplace_back(argv[i]);
        return s.run(opt);
      }
    }
  }
  bool help = argc >= 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0);
  std::fprintf(help ? stdout : stderr,
               "usage: vbd-bench SUBCOMMAND [--option value ...]\n"
               "  cmd          command rate and latency through the control port\n"
               "  echo-server  TCP server answering each CR-ended line (the floor's TCP hop)\n"
               "  queue        System V queue round trip between two processes (the floor's\n"
               "               queue hop)\n"
               "  search       M-SEARCH to the last response, spaced under the answer caps\n"
               "  notify       another device's NOTIFY traffic at a steady rate\n"
               "  startup      start of the daemon to its control port accepting\n"
               "  stop         SIGINT to exit with clients connected\n"
               "  reconnect    many reconnects from one address, then a command\n"
               "  hold         keep control and HTTP connections open\n"
               "  get          one GET, the body to standard output\n"
               "  stats        memory, threads, CPU share and wake-ups of a process\n"
               "  wake-cost    CPU time of one bare wake-up\n"
               "bench/run runs them all; the options are read in each subcommand's source.\n");
  return help ? 0 : 2;
}
