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
    {"cmd", bench::command_bench},      {"model", bench::latency_model},
    {"search", bench::discovery_bench}, {"startup", bench::startup_bench},
    {"hold", bench::connection_hold},   {"get", bench::http_get},
    {"stats", bench::process_stats},    {"notify", bench::notify_flood},
    {"floor", bench::wake_floor},
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
               "  cmd      command rate and latency through the control port\n"
               "  model    the command latency the polling design implies\n"
               "  search   M-SEARCH (MX 0) to the last response\n"
               "  notify   another device's NOTIFY traffic at a steady rate\n"
               "  startup  start of the daemon to its control port accepting\n"
               "  hold     keep control and HTTP connections open\n"
               "  get      one GET, the body to standard output\n"
               "  stats    memory, threads and CPU share of a process\n"
               "  floor    CPU time of one bare poll wake-up\n"
               "bench/run runs them all; the options are read in each subcommand's source.\n");
  return help ? 0 : 2;
}
