// The search answers' guard (a repeated search answered once, the caps per
// source address and in all) and a listener's queue of answers (due order),
// driven with times of the test's choosing; then the queued path of search
// handling through the transport seam.

#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/velProtocol/ssdp_server/ssdp_test_util.h"
#include "velProtocol/ssdp_server/ssdp_internal.h"

using namespace ssdp_test;
using vbd_ssdp::search_answer;

namespace {

constexpr int64_t kT = 5'000'000;  // any monotonic time
constexpr int kPerSource = CG_UPNP_SSDP_ANSWERS_PER_SOURCE;
constexpr int kInAll = CG_UPNP_SSDP_ANSWERS_IN_ALL;

class SearchGuardTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_NE(guard_, nullptr); }
  void TearDown() override { vbd_ssdp::search_guard_delete(guard_); }
  int admit(int64_t at, const char* source, int port, const char* st, int window_ms, int wanted) {
    return vbd_ssdp::search_guard_admit(guard_, at, source, port, st, window_ms, wanted);
  }
  cg_upnp_search_guard* guard_ = vbd_ssdp::search_guard_new();
};

search_answer answer_due(int64_t due, const std::string& usn) {
  search_answer a{};
  a.due_ms = due;
  std::snprintf(a.usn, sizeof(a.usn), "%s", usn.c_str());
  return a;
}

}  // namespace

TEST_F(SearchGuardTest, ARepeatWithinTheWindowOfTheFirstGetsNothing) {
  EXPECT_EQ(admit(kT, "10.77.1.2", 40000, "upnp:rootdevice", 1250, 1), 1);
  EXPECT_EQ(admit(kT + 1249, "10.77.1.2", 40000, "upnp:rootdevice", 250, 1), 0);
  // Another port, another ST or another source is another search.
  EXPECT_EQ(admit(kT + 10, "10.77.1.2", 40001, "upnp:rootdevice", 1250, 1), 1);
  EXPECT_EQ(admit(kT + 10, "10.77.1.2", 40000, "upnp:rootdevicE", 1250, 1), 1);
  EXPECT_EQ(admit(kT + 10, "10.77.1.3", 40000, "upnp:rootdevice", 1250, 1), 1);
  EXPECT_EQ(vbd_ssdp::search_guard_get_counts(guard_).repeats, 1);
  // Once the window has passed, the same search is answered again.
  EXPECT_EQ(admit(kT + 1250, "10.77.1.2", 40000, "upnp:rootdevice", 1250, 1), 1);
  // MX 0: no window, so no repeats.
  for (int i = 0; i < 3; i++) EXPECT_EQ(admit(kT + 2000, "10.77.1.4", 1, "ssdp:all", 0, 2), 2);
  EXPECT_EQ(vbd_ssdp::search_guard_get_counts(guard_).repeats, 1);
}

TEST_F(SearchGuardTest, EachSourceGetsAtMostItsCapPerSecond) {
  EXPECT_EQ(admit(kT, "10.77.1.2", 1, "ssdp:all", 250, 8), 8);
  EXPECT_EQ(admit(kT + 1, "10.77.1.2", 2, "ssdp:all", 250, 8), kPerSource - 8);  // part of it
  EXPECT_EQ(admit(kT + 2, "10.77.1.2", 3, "ssdp:all", 250, 8), 0);
  EXPECT_EQ(vbd_ssdp::search_guard_get_counts(guard_).over_cap, 8 + 8 - (kPerSource - 8));
  // A search that got nothing is not remembered: its repeat is judged by
  // the cap, and gets answers once the second is over.
  EXPECT_EQ(admit(kT + 999, "10.77.1.2", 3, "ssdp:all", 250, 8), 0);
  EXPECT_EQ(admit(kT + 1000, "10.77.1.2", 3, "ssdp:all", 250, 8), 8);
  // Other sources have caps of their own.
  EXPECT_EQ(admit(kT + 1000, "10.77.1.3", 1, "ssdp:all", 250, 8), 8);
  EXPECT_EQ(vbd_ssdp::search_guard_get_counts(guard_).repeats, 0);
}

TEST_F(SearchGuardTest, AllSourcesTogetherGetAtMostTheCapPerSecond) {
  int given = 0;
  for (int i = 0; i < kInAll / kPerSource + 3; i++) {
    std::string source = "10.77.1." + std::to_string(10 + i);
    given += admit(kT + i, source.c_str(), 1900, "ssdp:all", 1250, kPerSource);
  }
  EXPECT_EQ(given, kInAll);
  EXPECT_EQ(admit(kT + 999, "10.77.1.200", 1900, "upnp:rootdevice", 0, 1), 0);
  EXPECT_EQ(vbd_ssdp::search_guard_get_counts(guard_).over_cap, 3 * kPerSource + 1);
  // The next second: sources still within their own second wait for it.
  EXPECT_EQ(admit(kT + 1000, "10.77.1.200", 1900, "upnp:rootdevice", 0, 1), 1);
  EXPECT_EQ(admit(kT + 1000, "10.77.1.19", 1, "upnp:rootdevice", 0, 1), 0);
  EXPECT_EQ(admit(kT + 1009, "10.77.1.19", 1, "upnp:rootdevice", 0, 1), 1);
}

TEST(AnswerQueueTest, AnswersAreTakenInDueOrderTiesInTheOrderAdded) {
  cg_upnp_answer_queue* queue = vbd_ssdp::answer_queue_new();
  ASSERT_NE(queue, nullptr);
  EXPECT_EQ(vbd_ssdp::answer_queue_wait_ms(queue, kT), -1);
  for (const auto& [due, usn] : std::vector<std::pair<int64_t, std::string>>{
           {kT + 30, "c"}, {kT + 10, "a1"}, {kT + 20, "b"}, {kT + 10, "a2"}}) {
    ASSERT_TRUE(vbd_ssdp::answer_queue_add(queue, answer_due(due, usn)));
  }
  EXPECT_EQ(vbd_ssdp::answer_queue_size(queue), 4);
  EXPECT_EQ(vbd_ssdp::answer_queue_wait_ms(queue, kT), 10);
  search_answer out{};
  EXPECT_FALSE(vbd_ssdp::answer_queue_take_due(queue, kT + 9, &out));
  std::vector<std::string> taken;
  while (vbd_ssdp::answer_queue_take_due(queue, kT + 10, &out)) taken.emplace_back(out.usn);
  EXPECT_EQ(taken, (std::vector<std::string>{"a1", "a2"}));
  EXPECT_EQ(vbd_ssdp::answer_queue_wait_ms(queue, kT + 15), 5);
  EXPECT_EQ(vbd_ssdp::answer_queue_wait_ms(queue, kT + 100), 0);
  while (vbd_ssdp::answer_queue_take_due(queue, kT + 100, &out)) taken.emplace_back(out.usn);
  EXPECT_EQ(taken, (std::vector<std::string>{"a1", "a2", "b", "c"}));
  EXPECT_EQ(vbd_ssdp::answer_queue_wait_ms(queue, kT + 100), -1);
  vbd_ssdp::answer_queue_delete(queue);
}

TEST(AnswerQueueTest, AFullQueueDropsWhatComesOnTop) {
  cg_upnp_answer_queue* queue = vbd_ssdp::answer_queue_new();
  ASSERT_NE(queue, nullptr);
  for (int i = 0; i < vbd_ssdp::kQueuedAnswers; i++) {
    ASSERT_TRUE(vbd_ssdp::answer_queue_add(queue, answer_due(kT, std::to_string(i))));
  }
  EXPECT_FALSE(vbd_ssdp::answer_queue_add(queue, answer_due(kT, "over")));
  search_answer out{};
  ASSERT_TRUE(vbd_ssdp::answer_queue_take_due(queue, kT, &out));
  EXPECT_STREQ(out.usn, "0");
  EXPECT_TRUE(vbd_ssdp::answer_queue_add(queue, answer_due(kT, "again")));
  EXPECT_EQ(vbd_ssdp::answer_queue_size(queue), vbd_ssdp::kQueuedAnswers);
  vbd_ssdp::answer_queue_delete(queue);
}

namespace {

// Searches handed over as a listener hands them: the answers go to the
// listener's queue (due at once, through the seam), then out.
class QueuedSearchTest : public testing::Test {
 protected:
  void SetUp() override {
    dev_ = device_from(sample_description());
    ASSERT_NE(dev_, nullptr);
    ASSERT_NE(listener_, nullptr);
    listener_->answers = vbd_ssdp::answer_queue_new();
    ASSERT_NE(listener_->answers, nullptr);
  }
  void TearDown() override {
    vbd_ssdp::answer_queue_delete(listener_->answers);
    listener_->answers = nullptr;
    cg_upnp_ssdp_server_delete(listener_);
    cg_upnp_device_delete(dev_);
  }

  // What the search's answers are once the listener has sent the due ones.
  std::vector<sent_datagram> queued(const std::string& text, int port = 40000) {
    cg_upnp_ssdp_packet* packet = search_packet(text, dev_, "10.77.1.1", "10.77.1.2", port);
    packet->server = listener_;
    cg_upnp_device_ssdplistener(packet);
    cg_upnp_ssdp_packet_delete(packet);
    EXPECT_TRUE(cap_.take().empty()) << "sent before it was due";
    search_answer answer;
    while (vbd_ssdp::answer_queue_take_due(listener_->answers, cg_monotonic_ms(), &answer)) {
      vbd_ssdp::send_search_answer(answer);
    }
    return cap_.take();
  }
  std::vector<sent_datagram> at_once(const std::string& text) {
    cg_upnp_ssdp_packet* packet = search_packet(text, dev_);
    cg_upnp_device_ssdplistener(packet);
    cg_upnp_ssdp_packet_delete(packet);
    return cap_.take();
  }

  capture cap_;
  cg_upnp_device* dev_ = nullptr;
  cg_upnp_ssdp_server* listener_ = cg_upnp_ssdp_server_new();
};

std::string without_date(const std::string& text) {
  size_t at = text.find("\r\nDate: ");
  if (at == std::string::npos) return text;
  return text.substr(0, at) + text.substr(text.find("\r\n", at + 2));
}

}  // namespace

TEST_F(QueuedSearchTest, QueuedAnswersAreTheBytesOfImmediateOnesInTheSameOrder) {
  std::vector<sent_datagram> now = at_once(msearch("ssdp:all"));
  std::vector<sent_datagram> later = queued(msearch("ssdp:all"));
  ASSERT_EQ(later.size(), now.size());
  EXPECT_EQ(identities(later, "ST"), sample_pass());
  for (size_t i = 0; i < now.size(); i++) {
    EXPECT_EQ(later[i].host, now[i].host);
    EXPECT_EQ(later[i].port, now[i].port);
    EXPECT_EQ(without_date(later[i].text), without_date(now[i].text));
    EXPECT_EQ(parse_message(later[i].text).names(), parse_message(now[i].text).names());
  }
}

TEST_F(QueuedSearchTest, RepeatsAndCapsHoldForQueuedAnswersOnly) {
  ASSERT_EQ(queued(msearch("upnp:rootdevice", "2")).size(), 1u);
  EXPECT_TRUE(queued(msearch("upnp:rootdevice", "2")).empty());
  // 1 + 8 + 1 of the next ssdp:all: the source's cap for this second.
  EXPECT_EQ(queued(msearch("ssdp:all", "2"), 40001).size(), 8u);
  std::vector<sent_datagram> part = queued(msearch("ssdp:all", "2"), 40002);
  EXPECT_EQ(identities(part, "ST"),
            (std::vector<std::pair<std::string, std::string>>{sample_pass()[0]}));
  EXPECT_TRUE(queued(msearch(kTrayUdn, "2"), 40003).empty());
  // Handed over otherwise, a search is answered whatever came before.
  EXPECT_EQ(at_once(msearch("upnp:rootdevice", "2")).size(), 1u);
  EXPECT_EQ(vbd_ssdp::answer_queue_size(listener_->answers), 0);
}
