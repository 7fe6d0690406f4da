// The simulated player: power, tray, disc, transport and the playback
// position, the effect of each control command on them, and the status
// records the player answers queries with. Pure state: time is passed in.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/player_sim/sim_queue.h"

namespace sim {

// Command indices of the control protocol's command table (the public
// header's numbering).
namespace cmd {
inline constexpr int QUERY_ERROR = VBD_CMD_QUERY_ERROR;          // ?E
inline constexpr int POWER_ON = VBD_CMD_POWER_ON;                // PN
inline constexpr int POWER_OFF = VBD_CMD_POWER_OFF;              // PF
inline constexpr int OPEN = VBD_CMD_OPEN;                        // OP
inline constexpr int CLOSE = VBD_CMD_CLOSE;                      // CO
inline constexpr int RESET = VBD_CMD_RESET;                      // 99RJ
inline constexpr int PLAY = VBD_CMD_PLAY;                        // PL
inline constexpr int STOP = VBD_CMD_STOP;                        // ST
inline constexpr int SCAN_FORWARD = VBD_CMD_SCAN_FORWARD;        // SF
inline constexpr int SCAN_REVERSE = VBD_CMD_SCAN_REVERSE;        // SR
inline constexpr int STILL = VBD_CMD_STILL;                      // NS
inline constexpr int KEY_LOCK = VBD_CMD_KEY_LOCK;                // #KL
inline constexpr int QUERY_ADDRESS = VBD_CMD_QUERY_ADDRESS;      // ?A
inline constexpr int QUERY_CHAPTER = VBD_CMD_QUERY_CHAPTER;      // ?R
inline constexpr int QUERY_CHAPTERS = VBD_CMD_QUERY_CHAPTERS;    // ?C
inline constexpr int QUERY_TIME = VBD_CMD_QUERY_TIME;            // ?T
inline constexpr int QUERY_TITLE = VBD_CMD_QUERY_TITLE;          // ?I
inline constexpr int QUERY_KEYS = VBD_CMD_QUERY_KEYS;            // ?K
inline constexpr int QUERY_VIDEO = VBD_CMD_QUERY_VIDEO;          // ?V
inline constexpr int QUERY_AUDIO = VBD_CMD_QUERY_AUDIO;          // ?J
inline constexpr int QUERY_DISC = VBD_CMD_QUERY_DISC;            // ?D
inline constexpr int QUERY_STATUS = VBD_CMD_QUERY_STATUS;        // ?P
inline constexpr int QUERY_LABEL = VBD_CMD_QUERY_LABEL;          // ?L
inline constexpr int QUERY_MODEL = VBD_CMD_QUERY_MODEL;          // ?Z
inline constexpr int SWITCH_AUDIO = VBD_CMD_SWITCH_AUDIO;        // #SW
inline constexpr int NEXT = VBD_CMD_NEXT;                        // NF
inline constexpr int PREVIOUS = VBD_CMD_PREVIOUS;                // NR
inline constexpr int REMOTE_KEY = VBD_CMD_REMOTE_KEY;            // /$/RU
inline constexpr int REMOTE_KEY_LONG = VBD_CMD_REMOTE_KEY_LONG;  // L/$/RU
inline constexpr int COUNT = VBD_CMD_COUNT;
}  // namespace cmd

// The mnemonic of a command index (the command library's table), or "?"
// outside the table.
const char* command_name(int index);

// Reply codes (ret_id), as the public header numbers them.
inline constexpr int RET_NONE = VBD_RET_NONE;
inline constexpr int RET_OK = VBD_RET_OK;    // "R"
inline constexpr int RET_E00 = VBD_RET_E00;  // communication error (never produced by the model)
inline constexpr int RET_E04 = VBD_RET_E04;  // not possible in the current state
inline constexpr int RET_E06 = VBD_RET_E06;  // parameter out of range
inline constexpr int RET_E11 = VBD_RET_E11;  // no disc
inline constexpr int RET_E12 = VBD_RET_E12;  // no such chapter / title
inline constexpr int RET_E15 = VBD_RET_E15;  // (not produced by the model)
inline constexpr int RET_E16 = VBD_RET_E16;  // (not produced by the model)
inline constexpr int RET_E99 = VBD_RET_E99;  // unknown command
inline constexpr int RET_STATUS = VBD_RET_STATUS;

enum class disc_kind { none, bd, dvd, cd };
enum class transport { stop, play, still, scan_forward, scan_reverse };

// Player status codes, answered to "?P" and pushed as "Pnn" events.
inline constexpr int STATUS_STANDBY = VBD_STATUS_STANDBY;
inline constexpr int STATUS_TRAY_OPEN = VBD_STATUS_TRAY_OPEN;
inline constexpr int STATUS_NO_DISC = VBD_STATUS_NO_DISC;
inline constexpr int STATUS_STOP = VBD_STATUS_STOP;
inline constexpr int STATUS_PLAY = VBD_STATUS_PLAY;
inline constexpr int STATUS_STILL = VBD_STATUS_STILL;
inline constexpr int STATUS_SCAN_FORWARD = VBD_STATUS_SCAN_FORWARD;
inline constexpr int STATUS_SCAN_REVERSE = VBD_STATUS_SCAN_REVERSE;

inline constexpr int SCAN_SPEED = 8;            // times normal speed
inline constexpr int STEP_MS = 40;              // one frame step while still
inline constexpr int RESTART_CHAPTER_MS = 3000; // NR within this restarts the chapter
inline constexpr int AUDIO_STREAMS = 3;         // valid #SW parameters are 1..3

struct player_config {
  bool power_on = true;
  bool tray_open = false;
  disc_kind disc = disc_kind::bd;
};

struct outcome {
  response ret;
  int result;
};

class player_model {
 public:
  player_model(const player_config& config, uint64_t now_ms);

  // Runs one command at the given time and returns the player's answer.
  outcome execute(int index, int32_t param, uint64_t now_ms);
  // Moves the playback position on to the given time.
  void advance(uint64_t now_ms);

  // Front-panel actions (not subject to the command rules).
  void set_power(bool on, uint64_t now_ms);
  void set_tray(bool open, uint64_t now_ms);
  void set_disc(disc_kind disc, uint64_t now_ms);

  int status_code() const;
  int standby() const { return power_on_ ? 0 : 1; }
  bool power_on() const { return power_on_; }
  bool tray_open() const { return tray_open_; }
  disc_kind disc() const { return disc_; }
  transport state() const { return transport_; }
  int title() const { return title_ + 1; }
  int title_count() const;
  int chapter() const;
  int chapter_count() const;
  uint64_t position_ms() const { return position_ms_; }
  int key_lock() const { return key_lock_; }
  int audio_stream() const { return audio_stream_; }
  uint32_t remote_code() const { return remote_code_; }
  std::string describe() const;

  // Auto-feedback texts produced since the last call ("Pnn" status changes).
  std::vector<std::string> take_feedback();
  // True, with the new state, when the standby state changed since the last call.
  bool take_standby_change(int* standby);

 private:
  struct disc_layout {
    int titles;
    int chapters[3];
    int chapter_ms;
  };
  const disc_layout& layout() const;
  bool media_ready() const;
  int media_error() const;
  void stop_at_start();
  void note_changes(int old_status, bool old_power);
  // Moves the player on to now_ms, runs the change and notes the status and
  // power changes it made.
  template <typename Change>
  void changing(uint64_t now_ms, Change change);
  void fill_status(int index, response* ret) const;
  int status_error(int index) const;
  int apply(int index, int32_t param);

  bool power_on_;
  bool tray_open_;
  disc_kind disc_;
  transport transport_ = transport::stop;
  int title_ = 0;
  uint64_t position_ms_ = 0;
  uint64_t clock_ms_;
  int key_lock_ = 0;
  int audio_stream_ = 1;
  uint32_t remote_code_ = 0;
  std::vector<std::string> feedback_;
  bool standby_changed_ = false;
};

const char* disc_name(disc_kind disc);
bool parse_disc(const std::string& text, disc_kind* disc);

}  // namespace sim
