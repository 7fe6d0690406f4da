// vbdctl discover end to end: the real daemon (with its player simulator
// and the packaged description, each daemon in its own IPC namespace) and a
// fake device in device namespaces, vbdctl in a client namespace joined to
// them by one veth pair each: what is listed, the probe's verdicts, JSON
// for scripts, and garbage reported instead of listed.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "tests/integration/harness.h"
#include "tests/support/tcp.h"
#include "tests/support/udp.h"

using vbd_test::in_order;
using vbd_test::launch_options;
using vbd_test::now_ms;
using vbd_test::process;
using vbd_test::veth_link;

namespace {

constexpr int kStartMs = 20000;  // sanitizer builds on a loaded machine
constexpr const char* kUdn = "uuid:5f2b7c1e-8a43-4d0e-9b6a-3c1d0e7f4a21";

struct result {
  int status = -1;  // exit status, -1 when vbdctl did not end
  std::string out;
  std::string err;
};

// A daemon with its simulator in a device namespace, in an IPC namespace of
// their own.
struct player {
  std::string workdir;
  std::unique_ptr<process> sim;
  std::unique_ptr<process> daemon;
};

class DiscoverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "these tests create network namespaces and need root";
    ASSERT_EQ(vbd_test::enter_private_namespaces(), "");
  }

  void TearDown() override {
    for (auto& p : players_) {
      for (auto* proc : {&p->daemon, &p->sim}) {
        if (!*proc) continue;
        std::string err = (*proc)->err();
        EXPECT_EQ(err.find("Sanitizer"), std::string::npos) << err;
        EXPECT_EQ(err.find("runtime error:"), std::string::npos) << err;
        proc->reset();
      }
      std::error_code ec;
      if (!p->workdir.empty()) std::filesystem::remove_all(p->workdir, ec);
    }
    links_.clear();
  }

  // A link to a new device namespace. The first link's client namespace is
  // where vbdctl runs; later links' client ends move there as vc1, vc2 ...
  veth_link* add_link(const vbd_test::link_options& options = {}) {
    links_.push_back(std::make_unique<veth_link>(options));
    veth_link* link = links_.back().get();
    if (!link->ok()) {
      ADD_FAILURE() << link->error();
      return nullptr;
    }
    if (links_.size() == 1) return link;
    const std::string from = link->client_ns();
    const std::string to = client_ns();
    const std::string name = "vc" + std::to_string(links_.size() - 1);
    for (const std::string& command :
         {"ip -n " + from + " link set vc0 down", "ip -n " + from + " link set vc0 name " + name,
          "ip -n " + from + " link set " + name + " netns " + to,
          "ip -n " + to + " addr add " + link->client_address() + "/24 dev " + name,
          "ip -n " + to + " link set " + name + " up"}) {
      if (vbd_test::run_quiet(command) != 0) {
        ADD_FAILURE() << "failed: " << command;
        return nullptr;
      }
    }
    bool up = vbd_test::wait_until(
        [&] {
          return vbd_test::run_quiet("ip -n " + to + " link show " + name + " | grep -q 'state UP'") == 0 &&
                 vbd_test::run_quiet("ip -n " + link->device_ns() + " link show vd0 | grep -q 'state UP'") == 0;
        },
        5000, 20);
    EXPECT_TRUE(up) << name << " did not come up";
    return up ? link : nullptr;
  }

  const std::string& client_ns() const { return links_.front()->client_ns(); }

  // The simulator and the daemon in the link's device namespace, in a
  // fresh IPC namespace, with the packaged description (its text changed
  // by edit); returns once the daemon has announced itself on the link.
  player* start_player(const veth_link& link, const std::string& name = "", const std::string& udn = "") {
    EXPECT_EQ(vbd_test::enter_private_namespaces(false), "");
    players_.push_back(std::make_unique<player>());
    player* p = players_.back().get();
    p->workdir = vbd_test::make_work_dir();
    EXPECT_EQ(vbd_test::copy_description(p->workdir), "");
    if (!name.empty()) {
      std::string path = p->workdir + "/description.xml";
      std::string text = vbd_test::read_file(path);
      text = vbd_test::replace_all(text, "<friendlyName>vBdServer Blu-ray Player<", "<friendlyName>" + name + "<");
      text = vbd_test::replace_all(text, kUdn, udn);
      EXPECT_TRUE(vbd_test::write_file(path, text));
    }
    // Listening before the daemon starts, so its first announcement is heard.
    const std::string client = link.client_address();
    int observer = vbd_test::run_in_netns(client_ns(), [&] { return vbd_test::ssdp_group_socket(client); });
    EXPECT_NE(observer, -1);

    launch_options options;
    options.netns = link.device_ns();
    p->sim = vbd_test::launch(vbd_test::sim_path(), {}, options);
    if (!p->sim || !p->sim->wait_for("[sim] queue key 116", kStartMs)) {
      ADD_FAILURE() << "the simulator did not start";
      return nullptr;
    }
    options.cwd = p->workdir;
    p->daemon = vbd_test::launch(vbd_test::server_path(), {}, options);
    if (!p->daemon || !p->sim->wait_for("[sim] hello from server pid", kStartMs)) {
      ADD_FAILURE() << "the daemon did not start";
      return nullptr;
    }
    // The alive announcement goes out once the search listener runs.
    std::string seen;
    for (long long end = now_ms() + kStartMs; seen.find("NTS: ssdp:alive") == std::string::npos && now_ms() < end;) {
      for (const std::string& d : vbd_test::udp_collect(observer, 100)) seen += d;
    }
    close(observer);
    EXPECT_NE(seen.find("NTS: ssdp:alive"), std::string::npos) << p->daemon->out() << p->daemon->err();
    return p;
  }

  // Runs vbdctl discover in the client namespace to its end.
  result discover(std::vector<std::string> args) {
    args.insert(args.begin(), "discover");
    launch_options options;
    options.netns = client_ns();
    auto p = vbd_test::launch(VBDCTL_BIN, args, options);
    result r;
    if (!p) return r;
    p->close_stdin();
    int status = 0;
    if (p->wait_exit(60000, &status) && WIFEXITED(status)) r.status = WEXITSTATUS(status);
    r.out = p->out();
    r.err = p->err();
    EXPECT_EQ(r.err.find("Sanitizer"), std::string::npos) << r.err;
    return r;
  }

  std::vector<std::unique_ptr<veth_link>> links_;
  std::vector<std::unique_ptr<player>> players_;
};

#define ASSERT_STARTED(x) \
  ASSERT_NE((x), nullptr); \
  if (HasFatalFailure()) return

// The block vbdctl prints for a player at the link's device address.
std::string block(const veth_link& link, const std::string& name, const std::string& udn, const char* control) {
  const std::string address = link.device_address();
  std::string b = name + "\n  model:        vBdServer Player 1.0\n  manufacturer: vBdServer\n  address:      " + address +
                  "\n  description:  http://" + address + ":38400/description.xml\n  UDN:          " + udn + "\n";
  if (control != nullptr) b += std::string("  control port: 8102 ") + control + "\n";
  return b;
}

TEST_F(DiscoverTest, FindsTheDaemonAndProbesItsControlPort) {
  vbd_test::link_options options;
  options.second_client = true;
  veth_link* link = add_link(options);
  ASSERT_STARTED(link);

  // Nobody there yet.
  result r = discover({"-t", "1500"});
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("no players found"), std::string::npos) << r.err;

  ASSERT_STARTED(start_player(*link));
  r = discover({});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, block(*link, "vBdServer Blu-ray Player", kUdn, "answers")) << r.err;

  // While another address of the client holds the connection, the probe
  // is turned away; without the probe that session is left alone.
  std::string error;
  auto holder =
      vbd_test::tcp_client::connect(client_ns(), link->second_client_address(), link->device_address(), 8102, 5000, &error);
  ASSERT_TRUE(holder) << error;
  ASSERT_EQ(holder->request("?P\r"), "P03\r\n");  // admitted
  r = discover({"-m", "1"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, block(*link, "vBdServer Blu-ray Player", kUdn, "busy (another address is connected)")) << r.err;
  r = discover({"--no-probe", "--interface", link->client_address()});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, block(*link, "vBdServer Blu-ray Player", kUdn, nullptr));
  EXPECT_EQ(holder->request("?P\r"), "P03\r\n");
  holder.reset();

  // Nothing listens on that port: refused.
  r = discover({"-p", "8103", "-t", "2000"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("  control port: 8103 no\n"), std::string::npos) << r.out;
}

TEST_F(DiscoverTest, TwoPlayersOnTwoLinksAndJson) {
  veth_link* first = add_link();
  ASSERT_STARTED(first);
  veth_link* second = add_link();
  ASSERT_STARTED(second);
  const std::string udn2 = "uuid:5f2b7c1e-8a43-4d0e-9b6a-3c1d0e7f4b99";
  ASSERT_STARTED(start_player(*first));
  ASSERT_STARTED(start_player(*second, "Kitchen \"Player\" \\ 2", udn2));

  result r = discover({"--json"});
  ASSERT_EQ(r.status, 0) << r.err;
  auto jq = process::start({"jq", "-r", ".[] | [.friendlyName, .modelName, .modelNumber, .manufacturer, .address, "
                                        ".location, .udn, .control] | join(\"|\")"});
  ASSERT_TRUE(jq);
  jq->send(r.out);
  jq->close_stdin();
  ASSERT_TRUE(jq->exited_with(0, 10000)) << "not JSON:\n" << r.out << jq->err();
  auto row = [](const veth_link& link, const std::string& name, const std::string& udn) {
    return name + "|vBdServer Player|1.0|vBdServer|" + link.device_address() + "|http://" + link.device_address() +
           ":38400/description.xml|" + udn + "|answers\n";
  };
  std::string rows = jq->out();
  EXPECT_EQ(vbd_test::count_of(rows, "\n"), 2u) << rows;
  EXPECT_NE(rows.find(row(*first, "vBdServer Blu-ray Player", kUdn)), std::string::npos) << rows;
  EXPECT_NE(rows.find(row(*second, "Kitchen \"Player\" \\ 2", udn2)), std::string::npos) << rows;

  // One interface: only the player on that link.
  r = discover({"-i", "vc1", "--no-probe"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, block(*second, "Kitchen \"Player\" \\ 2", udn2, nullptr)) << r.err;
}

// A device that answers every search with answers of its own making and
// serves a broken description; the test closes `in` to stop it.
int run_fake_device(int in, int out, const std::string& address) {
  int udp = vbd_test::ssdp_group_socket(address);
  int http = socket(AF_INET, SOCK_STREAM, 0);
  int one = 1;
  setsockopt(http, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  sockaddr_in local{};
  if (udp == -1 || !vbd_test::to_sockaddr(address, 8080, &local) ||
      bind(http, reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0 || listen(http, 8) != 0)
    return 1;
  vbd_test::send_record(out, "R");
  const std::string base = "http://" + address + ":8080";
  const std::vector<std::string> answers = {
      "HTTP/1.1 200 OK\r\nLOCATION: " + base + "/broken.xml\r\nST: upnp:rootdevice\r\nUSN: uuid:fake-1\r\n\r\n",
      // The same description under another USN: fetched and reported once.
      "HTTP/1.1 200 OK\r\nlocation:" + base + "/broken.xml\r\nUSN: uuid:fake-1b\r\n\r\n",
      "HTTP/1.1 200 OK\r\nLOCATION: " + base + "/missing.xml\r\nUSN: uuid:fake-2\r\n\r\n",
      "HTTP/1.1 200 OK\r\nLOCATION: ftp://" + address + "/d.xml\r\nUSN: uuid:fake-3\r\n\r\n",
      "HTTP/1.1 200 OK\r\nUSN: uuid:fake-4\r\n\r\n",
      std::string(20000, 'A'),
  };
  for (;;) {
    pollfd fds[3] = {{udp, POLLIN, 0}, {http, POLLIN, 0}, {in, POLLIN, 0}};
    if (poll(fds, 3, 1000) < 0) return 1;
    if (fds[2].revents) return 0;
    if (fds[0].revents & POLLIN) {
      char data[2048];
      sockaddr_in from{};
      socklen_t len = sizeof(from);
      ssize_t n = recvfrom(udp, data, sizeof(data), 0, reinterpret_cast<sockaddr*>(&from), &len);
      if (n > 0 && std::string_view(data, static_cast<size_t>(n)).starts_with("M-SEARCH")) {
        for (const std::string& a : answers)
          sendto(udp, a.data(), a.size(), 0, reinterpret_cast<sockaddr*>(&from), sizeof(from));
      }
    }
    if (fds[1].revents & POLLIN) {
      int c = accept(http, nullptr, nullptr);
      if (c == -1) continue;
      std::string request = vbd_test::read_until(c, "\r\n\r\n", 3000);
      std::string body = "<?xml version=\"1.0\"?>\n<root><device><friendlyName>Broken</friendlyName>";
      vbd_test::send_all(c, request.starts_with("GET /broken.xml ")
                                ? "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body
                                : std::string("HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n"));
      close(c);
    }
  }
}

TEST_F(DiscoverTest, GarbageIsReportedAndTheRealPlayerStillListed) {
  veth_link* real = add_link();
  ASSERT_STARTED(real);
  veth_link* fake = add_link();
  ASSERT_STARTED(fake);
  // The player first: programs started later would inherit the fake's pipe
  // and keep it from seeing the end of its input.
  ASSERT_STARTED(start_player(*real));
  const std::string address = fake->device_address();
  vbd_test::ns_child device = vbd_test::spawn_in_netns(
      fake->device_ns(), [address](int in, int out) { return run_fake_device(in, out, address); });
  std::string ready;
  ASSERT_TRUE(vbd_test::readable_within(device.from_child, kStartMs) &&
              vbd_test::receive_record(device.from_child, &ready));

  result r = discover({"--no-probe"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, block(*real, "vBdServer Blu-ray Player", kUdn, nullptr)) << r.err;
  const std::string base = address + " (http://" + address + ":8080";
  for (const std::string& line : {
           "vbdctl: " + base + "/broken.xml): description is not valid XML, skipped\n",
           "vbdctl: " + base + "/missing.xml): HTTP status 404, skipped\n",
           "vbdctl: " + address + " (ftp://" + address + "/d.xml): LOCATION is not an http:// URL, skipped\n",
           "vbdctl: " + address + ": answer without LOCATION, skipped\n",
           "vbdctl: " + address + ": answer of 20000 bytes is too large, skipped\n",
       }) {
    // Each once, though the fake answered both searches.
    EXPECT_EQ(vbd_test::count_of(r.err, line), 1u) << line << "in:\n" << r.err;
  }
  EXPECT_EQ(r.err.find("Broken"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("error"), std::string::npos) << "the parser's own diagnostics:\n" << r.err;

  // Only the fake's link: nothing listed, everything reported.
  r = discover({"-i", "vc1", "--json"});
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(r.out, "[]\n");
  EXPECT_NE(r.err.find("broken.xml): description is not valid XML"), std::string::npos) << r.err;
  EXPECT_EQ(device.finish(), 0);
}

TEST_F(DiscoverTest, UsageErrors) {
  veth_link* link = add_link();
  ASSERT_STARTED(link);
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"--mx", "0"}, {"-m", "6"}, {"-t", "x"}, {"-p", "70000"}, {"--bogus"}, {"extra"}, {"-i", "nosuch0"}}) {
    result r = discover(args);
    EXPECT_EQ(r.status, 2) << args[0] << ": " << r.err;
    EXPECT_EQ(r.out, "") << args[0];
    EXPECT_FALSE(r.err.empty()) << args[0];
  }
  result r = discover({"-h"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("--no-probe"), std::string::npos) << r.out;
}

}  // namespace
