// One end-to-end scenario with the daemon under valgrind's memcheck: the
// player simulator answers, a control client runs commands and gets an
// event, the description and an icon are fetched, a search is answered,
// and SIGINT stops it. Memcheck must report no error and no definite leak.
// Slow, so it runs only when VBD_VALGRIND is set (scripts/test does).
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "tests/hostile/hostile_env.h"

namespace vbd_hostile {
namespace {

std::string read_text(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(ValgrindScenario, EndToEndHasNoMemoryErrorsOrDefiniteLeaks) {
  if (!std::getenv("VBD_VALGRIND")) GTEST_SKIP() << "set VBD_VALGRIND=1 to run the daemon under valgrind";
  if (sanitized_build()) GTEST_SKIP() << "valgrind does not run sanitized programs";
  if (std::system("command -v valgrind >/dev/null 2>&1") != 0) GTEST_SKIP() << "valgrind is not installed";

  daemon_env env;
  ASSERT_EQ(env.enter(), "");
  // The player first, so that the daemon's hello is answered.
  vbd_test::spawn_options options;
  options.cwd = "/tmp";
  auto player = vbd_test::process::start(
      {"/bin/sh", "-c", "exec \"$0\" \"$@\" >/dev/null 2>&1", vbd_test::sim_path(), "--delay", "20"}, options);
  ASSERT_TRUE(player);
  ASSERT_TRUE(env.start_daemon({"valgrind", "--tool=memcheck", "--leak-check=full",
                                "--show-leak-kinds=definite", "--errors-for-leak-kinds=definite",
                                "--error-exitcode=99", "--log-file=valgrind.log"},
                               120000))
      << env.err();

  int client = tcp_connect(env.client_address(), env.device_address(), kControlPort, 10000);
  ASSERT_GE(client, 0);
  for (const char* command : {"?E", "PN", "?P", "?T", "PL", "?P", "ST", "?L", "XX", "?E"}) {
    EXPECT_NE(control_ask(client, command, 20000), "") << command;
  }
  // Pipelined, with a binary frame and a refused peer on the side.
  send_all(client, "?P\rPL\r?A\r\x02\x82\x00\x02?P\x01\xFF");
  read_until(client, "\x01\x02", 3000);
  int refused = tcp_connect(env.other_address(), env.device_address(), kControlPort, 10000);
  if (refused >= 0) close(refused);

  std::string description = fetch_description(env.client_address(), env.device_address(), 30000);
  EXPECT_EQ(description.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << description.substr(0, 200);
  int http = tcp_connect(env.client_address(), env.device_address(), kHttpPort, 10000);
  ASSERT_GE(http, 0);
  send_all(http, "GET /icon48.png HTTP/1.0\r\n\r\n");
  std::string icon;
  EXPECT_TRUE(wait_closed(http, 30000, &icon));
  EXPECT_EQ(icon.rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
  close(http);

  int searcher = udp_socket(env.client_address());
  ASSERT_GE(searcher, 0);
  udp_send(searcher, env.device_address(), kSsdpPort, msearch("ssdp:all", "1"));
  EXPECT_FALSE(udp_collect(searcher, 8000).empty());
  close(searcher);
  close(client);

  env.daemon()->signal(SIGINT);
  int status = 0;
  ASSERT_TRUE(env.daemon()->wait_exit(120000, &status)) << "no exit after SIGINT";
  std::string log = read_text(env.dir() + "/valgrind.log");
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status << "\n" << log;
  EXPECT_NE(log.find("ERROR SUMMARY: 0 errors"), std::string::npos) << log;
  bool no_definite = log.find("definitely lost: 0 bytes") != std::string::npos ||
                     log.find("All heap blocks were freed") != std::string::npos;
  EXPECT_TRUE(no_definite) << log;
  std::printf("%s\n", log.substr(log.find("HEAP SUMMARY") == std::string::npos ? 0 : log.find("HEAP SUMMARY"))
                          .c_str());
}

}  // namespace
}  // namespace vbd_hostile
