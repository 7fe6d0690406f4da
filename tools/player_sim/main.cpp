// vbd-player-sim: stands in for the player's main program on the message
// queue, so the daemon can be run and tested without a player.
#include <getopt.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "tools/player_sim/sim_engine.h"
#include "tools/stop_signals.h"

namespace {

volatile sig_atomic_t g_stop = 0;

void on_signal(int) { g_stop = 1; }


const char HELP[] =
    "usage: vbd-player-sim [options]\n"
    "\n"
    "Stands in for the player's main program on System V message queue 116:\n"
    "reads the daemon's messages (type 4321), logs its hello, answers every\n"
    "command (type 1234, kind 0) from a simulated player, and pushes events.\n"
    "\n"
    "Options:\n"
    "  -k, --key N            queue key (default 116)\n"
    "      --power on|off     initial power (default on)\n"
    "      --tray open|closed initial tray (default closed)\n"
    "      --disc KIND        disc in the tray: bd, dvd, cd or none (default bd)\n"
    "      --delay MS         answer every command MS milliseconds late\n"
    "      --no-reply         never answer a command\n"
    "      --drop N           leave the first N commands unanswered\n"
    "      --override FIELDS  force reply fields in every reply (see FIELDS)\n"
    "      --no-events        push no auto-feedback text on state changes\n"
    "      --no-standby       send no standby report (after the hello and on\n"
    "                         power changes)\n"
    "  -e, --exec CMD         run a script command at start (repeatable)\n"
    "      --on-hello CMD     run a script command when the hello arrives\n"
    "                         (repeatable)\n"
    "      --exit-on-eof      exit when standard input is closed\n"
    "      --keep-queue       answer commands left in the queue from before\n"
    "                         (by default they are dropped at start: their\n"
    "                         sender gave up on them long ago)\n"
    "  -h, --help             this text\n"
    "\n"
    "%s"
    "\n"
    "FIELDS: key=value pairs separated by commas, keys kind, cmd, param, ret_id,\n"
    "cmd_id and result, values decimal or 0x hexadecimal; for example\n"
    "\"ret_id=6,result=0\" (answer E12) or \"cmd=40\" (a command index the\n"
    "daemon rejects).\n"
    "\n"
    "The player: PN/PF power, OP/CO tray, PL play, ST stop, SF/SR scan at 8x,\n"
    "NS still (again: one frame step), NF/NR next/previous chapter, 99RJ back\n"
    "to the start, #KL key lock 0/1, #SW audio stream 1..3, /$/RU and L/$/RU\n"
    "remote key codes. Status queries ?A ?R ?C ?T ?I ?K ?V ?J ?D ?P ?L ?Z ?E\n"
    "are answered with status data (ret_id 10). Errors: E04 not possible now\n"
    "(power off, tray open, disc stopped), E06 parameter out of range, E11 no\n"
    "disc, E12 no such chapter, E99 unknown command. A BD has titles of 12, 8\n"
    "and 4 chapters, a DVD 20 and 6, a CD 14 tracks; chapters last 5 minutes\n"
    "(BD) or 4 minutes. Status changes are pushed as \"Pnn\" texts: P00 standby,\n"
    "P01 tray open, P02 no disc, P03 stop, P04 play, P05 still, P06 scan\n"
    "forward, P07 scan reverse. Standby is reported as 0 when on, 1 when off.\n"
    "\n"
    "Log lines on standard output begin with \"[sim]\"; it runs until SIGINT,\n"
    "SIGTERM or \"quit\".\n";

bool parse_number(const char* text, int* out) {
  char* end = nullptr;
  errno = 0;
  long value = strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || value < 0 || value > 0x7fffffff) return false;
  *out = static_cast<int>(value);
  return true;
}

int usage_error(const char* what) {
  fprintf(stderr, "vbd-player-sim: %s (see --help)\n", what);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  enum { OPT_POWER = 256, OPT_TRAY, OPT_DISC, OPT_DELAY, OPT_NO_REPLY, OPT_DROP, OPT_OVERRIDE,
         OPT_NO_EVENTS, OPT_NO_STANDBY, OPT_ON_HELLO, OPT_EXIT_ON_EOF, OPT_KEEP_QUEUE };
  static const option LONG_OPTIONS[] = {
      {"key", required_argument, nullptr, 'k'},        {"power", required_argument, nullptr, OPT_POWER},
      {"tray", required_argument, nullptr, OPT_TRAY},   {"disc", required_argument, nullptr, OPT_DISC},
      {"delay", required_argument, nullptr, OPT_DELAY}, {"no-reply", no_argument, nullptr, OPT_NO_REPLY},
      {"drop", required_argument, nullptr, OPT_DROP},   {"override", required_argument, nullptr, OPT_OVERRIDE},
      {"no-events", no_argument, nullptr, OPT_NO_EVENTS},
      {"no-standby", no_argument, nullptr, OPT_NO_STANDBY},
      {"exec", required_argument, nullptr, 'e'},        {"on-hello", required_argument, nullptr, OPT_ON_HELLO},
      {"exit-on-eof", no_argument, nullptr, OPT_EXIT_ON_EOF},
      {"keep-queue", no_argument, nullptr, OPT_KEEP_QUEUE},
      {"help", no_argument, nullptr, 'h'},              {nullptr, 0, nullptr, 0}};

  sim::engine_options options;
  std::vector<std::string> start_commands;
  bool exit_on_eof = false;
  int opt = 0;
  while ((opt = getopt_long(argc, argv, "k:e:h", LONG_OPTIONS, nullptr)) != -1) {
    std::string error;
    switch (opt) {
      case 'k':
        if (!parse_number(optarg, &options.key)) return usage_error("bad --key");
        break;
      case OPT_POWER:
        if (strcmp(optarg, "on") != 0 && strcmp(optarg, "off") != 0) return usage_error("bad --power");
        options.player.power_on = strcmp(optarg, "on") == 0;
        break;
      case OPT_TRAY:
        if (strcmp(optarg, "open") != 0 && strcmp(optarg, "closed") != 0) return usage_error("bad --tray");
        options.player.tray_open = strcmp(optarg, "open") == 0;
        break;
      case OPT_DISC:
        if (!sim::parse_disc(optarg, &options.player.disc)) return usage_error("bad --disc");
        break;
      case OPT_DELAY:
        if (!parse_number(optarg, &options.delay_ms)) return usage_error("bad --delay");
        break;
      case OPT_NO_REPLY: options.no_reply = true; break;
      case OPT_DROP:
        if (!parse_number(optarg, &options.drop)) return usage_error("bad --drop");
        break;
      case OPT_OVERRIDE:
        if (!sim::parse_override(optarg, &options.always, &error)) return usage_error(error.c_str());
        break;
      case OPT_NO_EVENTS: options.events = false; break;
      case OPT_NO_STANDBY: options.standby_report = false; break;
      case 'e': start_commands.emplace_back(optarg); break;
      case OPT_ON_HELLO: options.on_hello.emplace_back(optarg); break;
      case OPT_EXIT_ON_EOF: exit_on_eof = true; break;
      case OPT_KEEP_QUEUE: options.keep_queue = true; break;
      case 'h': printf(HELP, sim::SCRIPT_HELP); return 0;
      default: return usage_error("unknown option");
    }
  }
  if (optind < argc) return usage_error("unexpected argument");

  vbd_tools::install_stop_signals(on_signal);

  sim::engine engine(options, stdout);
  if (!engine.open()) return 1;
  // Commands are read and answered by a thread that blocks on the queue (one
  // wake-up per command, as a player's main program would have); the loop
  // below wakes for standard input, for what the player has due, and after
  // each message the thread handled.
  if (!engine.start_reader()) {
    fprintf(stderr, "[sim] cannot start the queue reader: %s\n", strerror(errno));
    return 1;
  }
  {
    // The reader thread answers the daemon from now on; everything else
    // here takes the engine's lock.
    std::lock_guard<std::mutex> guard(engine.lock());
    for (const std::string& line : start_commands) {
      if (!engine.run_command(line)) return 0;
    }
  }

  bool reading = true;
  std::string pending;
  while (!g_stop) {
    int timeout = 0;
    {
      std::lock_guard<std::mutex> guard(engine.lock());
      timeout = engine.next_wake_ms();
    }
    pollfd fds[2] = {{engine.wait_fd(), POLLIN, 0}, {reading ? STDIN_FILENO : -1, POLLIN, 0}};
    int ready = poll(fds, 2, timeout);
    std::lock_guard<std::mutex> guard(engine.lock());
    const pollfd& in = fds[1];
    if (ready > 0 && (in.revents & (POLLIN | POLLHUP | POLLERR))) {
      char buffer[4096];
      ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
      if (n > 0) {
        pending.append(buffer, static_cast<size_t>(n));
        size_t eol = 0;
        bool quit = false;
        while (!quit && (eol = pending.find('\n')) != std::string::npos) {
          std::string line = pending.substr(0, eol);
          pending.erase(0, eol + 1);
          quit = !engine.run_command(line);
        }
        if (quit) break;
      } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
        reading = false;
        if (!pending.empty() && !engine.run_command(pending)) break;
        pending.clear();
        if (exit_on_eof) break;
      }
    }
    engine.poll();
  }
  printf("[sim] exit\n");
  return 0;
}
