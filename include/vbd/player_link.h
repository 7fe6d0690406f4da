/* vbd/player_link.h: the interface between vBdServer and the player's main
 * program, for the developers of that program. C11 or C++11 and later.
 *
 * The two programs share one System V message queue, opened by both with
 * the same fixed key:
 *
 *     int qid = msgget(VBD_QUEUE_KEY, VBD_QUEUE_FLAGS);
 *
 * Message types divide the queue into channels:
 *   VBD_MSGTYPE_TO_MAIN   (4321)  vBdServer -> main program: commands and
 *                                 the hello. The main program reads these.
 *   VBD_MSGTYPE_FROM_MAIN (1234)  main program -> vBdServer: replies, auto
 *                                 feedback, shutdown and standby messages.
 *   VBD_MSGTYPE_TMP       (1221)  private to vBdServer. Never read or write it.
 *
 * Every message carries exactly VBD_MSG_SIZE (200) body bytes after the
 * message type, laid out as struct vbd_player_msg. All fields are native
 * 32-bit little-endian integers unless stated otherwise.
 *
 * What the main program must do:
 *   - at start, before anything else, drain type 4321: take every waiting
 *     message with msgrcv(..., IPC_NOWAIT) and drop the commands (kind
 *     VBD_MSG_NORMAL) among them. The queue outlives both programs, so it
 *     may hold commands sent before this start, whose sender gave up on them
 *     long ago; answering one would hand its answer to vBdServer's next
 *     command. Handle any other kind as usual (a waiting hello included);
 *   - read type 4321 (a non-blocking msgrcv with IPC_NOWAIT is fine);
 *   - answer every command (kind VBD_MSG_NORMAL) with ONE message of type
 *     1234, kind VBD_MSG_NORMAL, `cmd` set to the command's index, the
 *     response record `ret` filled and `result` 0, within about 4.4 seconds;
 *     vBdServer gives up on a command after that. Answers carry no sequence
 *     number: vBdServer takes the first answer that arrives after it sent a
 *     command, so never answer a command twice and never answer late;
 *   - it may send kinds VBD_MSG_AUTO_FEEDBACK (a text that every connected
 *     client receives as one line), VBD_MSG_SHUTDOWN (vBdServer stops) and
 *     VBD_MSG_STANDBY (the standby state, see `standby_mode`) at any time.
 *   - vBdServer sends one VBD_MSG_HELLO with its process id when it starts
 *     (and after every restart), and again when the queue was removed and
 *     it opened it anew; a good moment to report the standby state.
 *
 * Sending a message (the type is a C `long`, so the staging struct differs
 * between 32- and 64-bit targets; the body does not):
 *
 *     struct { long type; struct vbd_player_msg body; } m;
 *     memset(&m, 0, sizeof m);
 *     m.type = VBD_MSGTYPE_FROM_MAIN;
 *     m.body.cmd_type = VBD_MSG_NORMAL;
 *     ...
 *     msgsnd(qid, &m, VBD_MSG_SIZE, IPC_NOWAIT);
 */
#ifndef VBD_PLAYER_LINK_H
#define VBD_PLAYER_LINK_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
#define VBD_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
extern "C" {
#else
#define VBD_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

/* ------------------------------------------------------------------------
 * Queue identity and channels
 * ------------------------------------------------------------------------ */

#define VBD_QUEUE_KEY 116           /* fixed key: no ftok() */
#define VBD_QUEUE_FLAGS 0x3B6       /* IPC_CREAT | 0666 (950 decimal) */

#define VBD_MSGTYPE_TO_MAIN 4321L   /* vBdServer -> main program */
#define VBD_MSGTYPE_FROM_MAIN 1234L /* main program -> vBdServer */
#define VBD_MSGTYPE_TMP 1221L       /* internal to vBdServer: do not use */

#define VBD_MSG_SIZE 200            /* body bytes of every message */

/* ------------------------------------------------------------------------
 * Message kinds (vbd_player_msg.cmd_type)
 * ------------------------------------------------------------------------ */

enum vbd_msg_kind {
  VBD_MSG_NORMAL = 0,        /* a command (to main), or the answer to one (from main) */
  VBD_MSG_AUTO_FEEDBACK = 1, /* from main: feedback_text goes to every client */
  VBD_MSG_HELLO = 2,         /* to main: vBdServer started; pid is set */
  VBD_MSG_SHUTDOWN = 3,      /* from main: vBdServer stops */
  VBD_MSG_STANDBY = 4        /* from main: standby_mode is the new state */
};

/* ------------------------------------------------------------------------
 * Commands: the index sent in vbd_player_msg.cmd, with the mnemonic the
 * client typed. '#' stands for a decimal parameter, '$' for eight
 * hexadecimal digits; the value arrives in `param`.
 * ------------------------------------------------------------------------ */

enum vbd_command {
  VBD_CMD_QUERY_ERROR = 0,      /* ?E   answered by vBdServer itself, never sent */
  VBD_CMD_POWER_ON = 1,         /* PN */
  VBD_CMD_POWER_OFF = 2,        /* PF */
  VBD_CMD_OPEN = 3,             /* OP   open the tray */
  VBD_CMD_CLOSE = 4,            /* CO   close the tray */
  VBD_CMD_RESET = 5,            /* 99RJ */
  VBD_CMD_PLAY = 6,             /* PL */
  VBD_CMD_STOP = 7,             /* ST */
  VBD_CMD_SCAN_FORWARD = 8,     /* SF */
  VBD_CMD_SCAN_REVERSE = 9,     /* SR */
  VBD_CMD_STILL = 10,           /* NS */
  VBD_CMD_KEY_LOCK = 11,        /* #KL  param: decimal number */
  VBD_CMD_QUERY_ADDRESS = 12,   /* ?A   status queries: 12..23 */
  VBD_CMD_QUERY_CHAPTER = 13,   /* ?R */
  VBD_CMD_QUERY_CHAPTERS = 14,  /* ?C */
  VBD_CMD_QUERY_TIME = 15,      /* ?T */
  VBD_CMD_QUERY_TITLE = 16,     /* ?I */
  VBD_CMD_QUERY_KEYS = 17,      /* ?K */
  VBD_CMD_QUERY_VIDEO = 18,     /* ?V */
  VBD_CMD_QUERY_AUDIO = 19,     /* ?J */
  VBD_CMD_QUERY_DISC = 20,      /* ?D */
  VBD_CMD_QUERY_STATUS = 21,    /* ?P */
  VBD_CMD_QUERY_LABEL = 22,     /* ?L */
  VBD_CMD_QUERY_MODEL = 23,     /* ?Z */
  VBD_CMD_SWITCH_AUDIO = 24,    /* #SW  param: decimal number */
  VBD_CMD_NEXT = 25,            /* NF */
  VBD_CMD_PREVIOUS = 26,        /* NR */
  VBD_CMD_REMOTE_KEY = 27,      /* /$/RU   param: 32-bit key code */
  VBD_CMD_REMOTE_KEY_LONG = 28, /* L/$/RU  param: 32-bit key code */
  VBD_CMD_COUNT = 29
};

/* An answer whose `cmd` (taken as unsigned) is above this is rejected. */
#define VBD_MAX_REPLY_CMD 29

/* ------------------------------------------------------------------------
 * Reply codes (vbd_player_ret.ret_id) and the text each one becomes
 * ------------------------------------------------------------------------ */

enum vbd_ret_id {
  VBD_RET_NONE = 0,   /* ""    nothing is sent to the client */
  VBD_RET_OK = 1,     /* "R"   done */
  VBD_RET_E00 = 2,    /* "E00" communication error */
  VBD_RET_E04 = 3,    /* "E04" not possible now (vBdServer also uses it for an
                                unknown mnemonic and for no answer) */
  VBD_RET_E06 = 4,    /* "E06" parameter out of range */
  VBD_RET_E11 = 5,    /* "E11" no disc */
  VBD_RET_E12 = 6,    /* "E12" no such title or chapter */
  VBD_RET_E15 = 7,    /* "E15" player-specific */
  VBD_RET_E16 = 8,    /* "E16" player-specific */
  VBD_RET_E99 = 9,    /* "E99" command not supported */
  VBD_RET_STATUS = 10 /* status data follows in vbd_player_ret.data */
};

/* Player status codes answered to "?P" as "P00".."P09" (data int32 at 8),
 * and the texts the main program pushes as auto feedback when they change.
 * vBdServer only formats the number; these meanings are the convention the
 * player simulator and vbdctl use. */
enum vbd_player_status {
  VBD_STATUS_STANDBY = 0,
  VBD_STATUS_TRAY_OPEN = 1,
  VBD_STATUS_NO_DISC = 2,
  VBD_STATUS_STOP = 3,
  VBD_STATUS_PLAY = 4,
  VBD_STATUS_STILL = 5,
  VBD_STATUS_SCAN_FORWARD = 6,
  VBD_STATUS_SCAN_REVERSE = 7
};

/* ------------------------------------------------------------------------
 * The response record (44 bytes; body offsets 12..55)
 *
 * ret_id VBD_RET_STATUS answers a status query; data then holds, by
 * cmd_id (offsets within this record; u8/u16 unsigned, i32 signed;
 * `kind` 0..3 selects the long form, 4..5 the short form):
 *
 *   12 ?A  i32 kind @8, u16 @12, u16 @14, u8 @16, u8 @17, u8 @18
 *          long  "%03d%03d%02d%02d%02d"  (title, chapter, h, m, s)
 *          short "%02d%02d%02d%02d"      (@12, @14, @16*60+@17, @18)
 *   13 ?R  i32 kind @8, u16 @12          long "%03d", short "%02d"
 *   14 ?C  u16 @8                        "%03d"
 *   15 ?T  i32 kind @8, u16 @12, u8 @14  long "%04d%02d", short "%02d%02d"
 *   16 ?I  u8 @8, u8 @9                  "%02d%02d"
 *   17 ?K  i32 @8, i32 @12 (0, 1 or 2 = "0", "1", "x"),
 *          u8 @16..@21 (0..9 = digit, else "x")              8 characters
 *   18 ?V, 19 ?J  i32 @8, @12, @16 (0, 1, 2 = "0", "1", "x")  "?xx??"
 *   20 ?D  i32 @8 (0..2 = "0", "1", "x"), @12 (0..3 = "0".."2", "x"),
 *          @16 (0..6 = "0".."5", "x")                           3 characters
 *   21 ?P  i32 @8: the player status 0..9                 "P%02d"
 *   22 ?L, 23 ?Z  NUL-terminated text @8 (at most 35 characters; a reply
 *          carries at most 32)
 *
 * A value above its field width (999 for "%03d", 99 for "%02d", ...) makes
 * the client receive "E04".
 * ------------------------------------------------------------------------ */

#define VBD_RET_DATA_SIZE 36

struct vbd_player_ret {
  int32_t ret_id;                   /* enum vbd_ret_id */
  int32_t cmd_id;                   /* the command's index (selects the layout) */
  uint8_t data[VBD_RET_DATA_SIZE];  /* status data when ret_id is VBD_RET_STATUS */
};

/* ------------------------------------------------------------------------
 * The 200-byte message body, the same in both directions
 * ------------------------------------------------------------------------ */

#define VBD_FEEDBACK_OFFSET 64
/* An auto-feedback text may run on past feedback_text to the end of the
 * body (an auto-feedback message has no reserved or result field), but must
 * end with a NUL inside the body: at most 135 characters. */
#define VBD_FEEDBACK_MAX (VBD_MSG_SIZE - VBD_FEEDBACK_OFFSET)

struct vbd_player_msg {
  int32_t cmd_type;          /*   0  enum vbd_msg_kind */
  int32_t cmd;               /*   4  command index (answer: the index answered) */
  int32_t param;             /*   8  the command's parameter, 0 without one */
  struct vbd_player_ret ret; /*  12  answer: the response record; 0 in commands */
  union {
    int32_t pid;             /*  56  hello: vBdServer's process id */
    int32_t standby_mode;    /*  56  standby: 1 = in standby, other = on */
  };
  int32_t user_value;        /*  60  carried with a command; copy it back */
  char feedback_text[128];   /*  64  auto feedback: NUL-terminated text */
  int32_t reserved;          /* 192  0 */
  int32_t result;            /* 196  answer: 0 = success; another value makes
                                      the client receive the record's reply
                                      and ends the client's command line */
};

/* Offsets of the body, usable in #if and in other languages' bindings. */
#define VBD_OFF_CMD_TYPE 0
#define VBD_OFF_CMD 4
#define VBD_OFF_PARAM 8
#define VBD_OFF_RET 12
#define VBD_OFF_RET_ID 12
#define VBD_OFF_CMD_ID 16
#define VBD_OFF_RET_DATA 20
#define VBD_OFF_PID 56
#define VBD_OFF_STANDBY_MODE 56
#define VBD_OFF_USER_VALUE 60
#define VBD_OFF_FEEDBACK_TEXT VBD_FEEDBACK_OFFSET
#define VBD_OFF_RESERVED 192
#define VBD_OFF_RESULT 196

VBD_STATIC_ASSERT(sizeof(struct vbd_player_ret) == 44, "response record is 44 bytes");
VBD_STATIC_ASSERT(sizeof(struct vbd_player_msg) == VBD_MSG_SIZE, "message body is 200 bytes");
VBD_STATIC_ASSERT(offsetof(struct vbd_player_msg, cmd) == VBD_OFF_CMD, "cmd");
VBD_STATIC_ASSERT(offsetof(struct vbd_player_msg, param) == VBD_OFF_PARAM, "param");
VBD_STATIC_ASSERT(offsetof(struct vbd_player_msg, ret) == VBD_OFF_RET, "ret");
VBD_STATIC_ASSERT(offsetof(struct vbd_player_msg, pid) == VBD_OFF_PID, "pid");
VBD_STATIC_ASSERT(offsetof(struct vbd_player_msg, user_value) == VBD_OFF_USER_VALUE, "user_value");
VBD_STATIC_ASSERT(offsetof(struct vbd_player_msg, feedback_text) == VBD_OFF_FEEDBACK_TEXT, "text");
VBD_STATIC_ASSERT(offsetof(struct vbd_player_msg, reserved) == VBD_OFF_RESERVED, "reserved");
VBD_STATIC_ASSERT(offsetof(struct vbd_player_msg, result) == VBD_OFF_RESULT, "result");

#ifdef __cplusplus
}
#endif

#endif /* VBD_PLAYER_LINK_H */
