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
    {"stats", bench::process_stats},
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
  std::fprintf(stderr,
               "usage: vbd-bench cmd|model|search|startup|hold|get|stats [--option value ...]\n"
               "(run by bench/run; see the subcommand sources in bench/)\n");
  return 2;
}
