// The public player-link header against the daemon: the command numbering
// of its table, and bodies built by C code read correctly by the daemon's
// player link and reply formatter.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "app/player_link.h"
#include "app/v232cmd.h"
#include "include/vbd/player_link.h"
#include "tests/tools/public_header_c.h"

// The daemon's message body and response record are the public header's
// types; only the command table is the daemon's own.
static_assert(VBD_CMD_COUNT == V232CMD_COUNT);

namespace {

TEST(PublicHeader, CommandNumbersFollowTheServersTable) {
  const struct {
    int index;
    const char* mnemonic;
  } commands[] = {
      {VBD_CMD_QUERY_ERROR, "?E"},   {VBD_CMD_POWER_ON, "PN"},        {VBD_CMD_POWER_OFF, "PF"},
      {VBD_CMD_OPEN, "OP"},          {VBD_CMD_CLOSE, "CO"},           {VBD_CMD_RESET, "99RJ"},
      {VBD_CMD_PLAY, "PL"},          {VBD_CMD_STOP, "ST"},            {VBD_CMD_SCAN_FORWARD, "SF"},
      {VBD_CMD_SCAN_REVERSE, "SR"},  {VBD_CMD_STILL, "NS"},           {VBD_CMD_KEY_LOCK, "#KL"},
      {VBD_CMD_QUERY_ADDRESS, "?A"}, {VBD_CMD_QUERY_CHAPTER, "?R"},   {VBD_CMD_QUERY_CHAPTERS, "?C"},
      {VBD_CMD_QUERY_TIME, "?T"},    {VBD_CMD_QUERY_TITLE, "?I"},     {VBD_CMD_QUERY_KEYS, "?K"},
      {VBD_CMD_QUERY_VIDEO, "?V"},   {VBD_CMD_QUERY_AUDIO, "?J"},     {VBD_CMD_QUERY_DISC, "?D"},
      {VBD_CMD_QUERY_STATUS, "?P"},  {VBD_CMD_QUERY_LABEL, "?L"},     {VBD_CMD_QUERY_MODEL, "?Z"},
      {VBD_CMD_SWITCH_AUDIO, "#SW"}, {VBD_CMD_NEXT, "NF"},            {VBD_CMD_PREVIOUS, "NR"},
      {VBD_CMD_REMOTE_KEY, "/$/RU"}, {VBD_CMD_REMOTE_KEY_LONG, "L/$/RU"},
  };
  ASSERT_EQ(std::size(commands), static_cast<size_t>(VBD_CMD_COUNT));
  for (const auto& c : commands) EXPECT_STREQ(v232cmd_names[c.index], c.mnemonic) << c.index;
}

TEST(PublicHeader, BodiesBuiltInCAreReadByTheDaemonsLink) {
  controlapp_msg reply{};
  vbd_c_status_reply(&reply, VBD_CMD_QUERY_STATUS, VBD_STATUS_PLAY);
  EXPECT_EQ(reply.cmd_type, CONTROLAPP_MSG_NORMAL);
  EXPECT_EQ(reply.cmd, 21);
  EXPECT_EQ(reply.ret.cmd_id, 21);
  char text[V232CMD_REPLY_BUFFER_SIZE] = {};
  EXPECT_EQ(v232cmd_conv_ret_to_string(&reply.ret, BDP_StandbyMode_Get(), text, sizeof text), 0);
  EXPECT_STREQ(text, "P04");

  // The longest text the header allows is delivered whole, without a NUL
  // inside feedback_text's own 128 bytes.
  controlapp_msg event{};
  std::string longest(VBD_FEEDBACK_MAX - 1, 'x');
  vbd_c_feedback(&event, longest.c_str());
  EXPECT_EQ(event.cmd_type, CONTROLAPP_MSG_AUTO_FEEDBACK);
  char out[CONTROLAPP_FEEDBACK_MAX + 1] = {};
  EXPECT_EQ(controlapp_feedback_text(&event, out, sizeof out), VBD_FEEDBACK_MAX - 1);
  EXPECT_EQ(std::string(out), longest);

  controlapp_msg standby{};
  standby.cmd_type = CONTROLAPP_MSG_STANDBY;
  standby.standby_mode = 1;
  EXPECT_EQ(vbd_c_standby_of(&standby), 1);
  standby.cmd_type = CONTROLAPP_MSG_HELLO;
  EXPECT_EQ(vbd_c_standby_of(&standby), -1);
}

}  // namespace
