// The simulated player's rules with a test clock: playback and scanning
// move the counters, chapter skips stop at the disc's ends, and the
// compact-disc short forms stay inside their bounds.
#include <gtest/gtest.h>

#include <cstring>

#include "tools/player_sim/player_model.h"

namespace {

using sim::outcome;
using sim::player_config;
using sim::player_model;

constexpr uint64_t MINUTE = 60000;

unsigned u16_at(const outcome& o, int offset) {
  uint16_t v;
  memcpy(&v, reinterpret_cast<const uint8_t*>(&o.ret) + offset, sizeof v);
  return v;
}
unsigned u8_at(const outcome& o, int offset) {
  return reinterpret_cast<const uint8_t*>(&o.ret)[offset];
}
int32_t i32_at(const outcome& o, int offset) {
  int32_t v;
  memcpy(&v, reinterpret_cast<const uint8_t*>(&o.ret) + offset, sizeof v);
  return v;
}

TEST(PlayerModel, PlaybackAndScanningMoveThePosition) {
  player_model p(player_config{}, 0);
  EXPECT_EQ(p.execute(VBD_CMD_PLAY, 0, 0).ret.ret_id, VBD_RET_OK);
  p.advance(7 * MINUTE);
  EXPECT_EQ(p.chapter(), 2);
  EXPECT_EQ(p.execute(VBD_CMD_SCAN_FORWARD, 0, 7 * MINUTE).ret.ret_id, VBD_RET_OK);
  p.advance(8 * MINUTE);  // one minute at 8x
  EXPECT_EQ(p.position_ms(), 15 * MINUTE);
  EXPECT_EQ(p.execute(VBD_CMD_SCAN_REVERSE, 0, 8 * MINUTE).ret.ret_id, VBD_RET_OK);
  p.advance(11 * MINUTE);  // would pass the start: playback resumes there
  EXPECT_EQ(p.position_ms(), 0u);
  EXPECT_EQ(p.state(), sim::transport::play);
  // Playing past the end of a title goes on with the next.
  p.advance(11 * MINUTE + 61 * MINUTE);
  EXPECT_EQ(p.title(), 2);
  EXPECT_EQ(p.position_ms(), 1 * MINUTE);
  std::vector<std::string> events = p.take_feedback();
  ASSERT_EQ(events.size(), 4u);
  EXPECT_EQ(events[0], "P04");
  EXPECT_EQ(events[1], "P06");
  EXPECT_EQ(events[2], "P07");
  EXPECT_EQ(events[3], "P04");
}

TEST(PlayerModel, EndOfDiscStopsAndChapterSkipsStopAtTheEnds) {
  player_model p(player_config{}, 0);
  p.execute(VBD_CMD_PLAY, 0, 0);
  EXPECT_EQ(p.execute(VBD_CMD_PREVIOUS, 0, 0).ret.ret_id, VBD_RET_E12);
  for (int i = 0; i < 11; ++i) EXPECT_EQ(p.execute(VBD_CMD_NEXT, 0, 0).ret.ret_id, VBD_RET_OK);
  EXPECT_EQ(p.chapter(), 12);
  EXPECT_EQ(p.execute(VBD_CMD_NEXT, 0, 0).ret.ret_id, VBD_RET_OK);  // into title 2
  EXPECT_EQ(p.title(), 2);
  EXPECT_EQ(p.execute(VBD_CMD_PREVIOUS, 0, 0).ret.ret_id, VBD_RET_OK);  // back to title 1's last
  EXPECT_EQ(p.title(), 1);
  EXPECT_EQ(p.chapter(), 12);
  // Restart the chapter when more than 3 s into it.
  p.advance(10000);
  EXPECT_EQ(p.execute(VBD_CMD_PREVIOUS, 0, 10000).ret.ret_id, VBD_RET_OK);
  EXPECT_EQ(p.chapter(), 12);
  EXPECT_EQ(p.position_ms() % (5 * MINUTE), 0u);
  // Run off the end of the last title: the player stops at the start.
  p.advance(10000 + 200 * MINUTE);
  EXPECT_EQ(p.state(), sim::transport::stop);
  EXPECT_EQ(p.title(), 1);
  EXPECT_EQ(p.execute(VBD_CMD_NEXT, 0, 10000 + 200 * MINUTE).ret.ret_id, VBD_RET_E04);
}

TEST(PlayerModel, StillStepsAndStateRules) {
  player_model p(player_config{}, 0);
  EXPECT_EQ(p.execute(VBD_CMD_STILL, 0, 0).ret.ret_id, VBD_RET_E04);  // stopped
  p.execute(VBD_CMD_PLAY, 0, 0);
  EXPECT_EQ(p.execute(VBD_CMD_STILL, 0, 1000).ret.ret_id, VBD_RET_OK);
  EXPECT_EQ(p.execute(VBD_CMD_STILL, 0, 5000).ret.ret_id, VBD_RET_OK);  // one frame step
  EXPECT_EQ(p.position_ms(), 1000u + sim::STEP_MS);
  EXPECT_EQ(p.execute(VBD_CMD_KEY_LOCK, 1, 5000).ret.ret_id, VBD_RET_OK);
  EXPECT_EQ(p.execute(VBD_CMD_KEY_LOCK, 2, 5000).ret.ret_id, VBD_RET_E06);
  EXPECT_EQ(p.execute(VBD_CMD_SWITCH_AUDIO, 0, 5000).ret.ret_id, VBD_RET_E06);
  EXPECT_EQ(p.execute(VBD_CMD_REMOTE_KEY, static_cast<int32_t>(0xA55A00FFu), 5000).ret.ret_id,
            VBD_RET_OK);
  EXPECT_EQ(p.remote_code(), 0xA55A00FFu);
  p.set_disc(sim::disc_kind::none, 5000);
  EXPECT_EQ(p.execute(VBD_CMD_PLAY, 0, 5000).ret.ret_id, VBD_RET_E11);
  EXPECT_EQ(i32_at(p.execute(VBD_CMD_QUERY_STATUS, 0, 5000), 8), VBD_STATUS_NO_DISC);
  outcome disc = p.execute(VBD_CMD_QUERY_DISC, 0, 5000);
  EXPECT_EQ(i32_at(disc, 8), 0);
  EXPECT_EQ(i32_at(disc, 12), 3);  // "x": no disc type
  EXPECT_EQ(p.execute(VBD_CMD_POWER_OFF, 0, 5000).ret.ret_id, VBD_RET_OK);
  int standby = -1;
  ASSERT_TRUE(p.take_standby_change(&standby));
  EXPECT_EQ(standby, 1);
  EXPECT_EQ(p.execute(VBD_CMD_QUERY_KEYS, 0, 5000).ret.ret_id, VBD_RET_E04);
  outcome model = p.execute(VBD_CMD_QUERY_MODEL, 0, 5000);
  EXPECT_EQ(model.ret.ret_id, VBD_RET_STATUS);
  EXPECT_STREQ(reinterpret_cast<const char*>(model.ret.data), "VBD-PLAYER-SIM 1.0");
}

TEST(PlayerModel, CompactDiscUsesTheShortForms) {
  player_config config;
  config.disc = sim::disc_kind::cd;
  player_model p(config, 0);
  p.execute(VBD_CMD_PLAY, 0, 0);
  p.execute(VBD_CMD_NEXT, 0, 0);
  p.advance(3 * MINUTE + 7000);
  outcome address = p.execute(VBD_CMD_QUERY_ADDRESS, 0, 3 * MINUTE + 7000);
  EXPECT_EQ(i32_at(address, 8), 4);
  EXPECT_EQ(u16_at(address, 12), 2u);  // track
  EXPECT_EQ(u16_at(address, 14), 1u);  // index
  EXPECT_EQ(u8_at(address, 16) * 60 + u8_at(address, 17), 7u);  // minutes into the disc
  EXPECT_EQ(u8_at(address, 18), 7u);
  outcome time = p.execute(VBD_CMD_QUERY_TIME, 0, 3 * MINUTE + 7000);
  EXPECT_EQ(i32_at(time, 8), 4);
  EXPECT_LE(u16_at(time, 12), 99u);
}

}  // namespace
