/* The public player-link header compiled as C11: the layout checks of the
 * header itself, offsets checked again here, and a reply built in C that
 * the C++ side reads back. */
#include "include/vbd/player_link.h"

#include <string.h>

#include "tests/tools/public_header_c.h"

_Static_assert(sizeof(struct vbd_player_msg) == 200, "body size");
_Static_assert(sizeof(struct vbd_player_ret) == 44, "record size");
_Static_assert(offsetof(struct vbd_player_msg, cmd_type) == 0, "cmd_type");
_Static_assert(offsetof(struct vbd_player_msg, ret.ret_id) == VBD_OFF_RET_ID, "ret_id");
_Static_assert(offsetof(struct vbd_player_msg, ret.cmd_id) == VBD_OFF_CMD_ID, "cmd_id");
_Static_assert(offsetof(struct vbd_player_msg, ret.data) == VBD_OFF_RET_DATA, "data");
_Static_assert(offsetof(struct vbd_player_msg, standby_mode) == VBD_OFF_STANDBY_MODE, "standby_mode");
_Static_assert(offsetof(struct vbd_player_msg, result) + sizeof(int32_t) == VBD_MSG_SIZE, "result ends the body");
_Static_assert(VBD_FEEDBACK_MAX == 136, "feedback text may run to the end of the body");
_Static_assert(VBD_QUEUE_FLAGS == 950, "IPC_CREAT | 0666");
_Static_assert(VBD_CMD_COUNT == 29 && VBD_RET_STATUS == 10, "table sizes");

void vbd_c_status_reply(void* out, int cmd, int32_t status) {
  struct vbd_player_msg msg;
  memset(&msg, 0, sizeof msg);
  msg.cmd_type = VBD_MSG_NORMAL;
  msg.cmd = cmd;
  msg.ret.ret_id = VBD_RET_STATUS;
  msg.ret.cmd_id = cmd;
  memcpy(msg.ret.data, &status, sizeof status);
  msg.result = 0;
  memcpy(out, &msg, VBD_MSG_SIZE);
}

void vbd_c_feedback(void* out, const char* text) {
  struct vbd_player_msg msg;
  memset(&msg, 0, sizeof msg);
  msg.cmd_type = VBD_MSG_AUTO_FEEDBACK;
  strncpy((char*)&msg + VBD_OFF_FEEDBACK_TEXT, text, VBD_FEEDBACK_MAX - 1);
  memcpy(out, &msg, VBD_MSG_SIZE);
}

int vbd_c_standby_of(const void* body) {
  struct vbd_player_msg msg;
  memcpy(&msg, body, sizeof msg);
  return msg.cmd_type == VBD_MSG_STANDBY ? msg.standby_mode : -1;
}
