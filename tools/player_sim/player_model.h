// The simulated player: power, tray, disc, transport and the playback
// position, the effect of each control command on them, and the status
// records the player answers queries with. Pure state: time is passed in.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/player_sim/sim_queue.h"

namespace sim {

// Command indices of the control protocol's command table.
namespace cmd {
inline constexpr int QUERY_ERROR = 0;       // ?E
inline constexpr int POWER_ON = 1;          // PN
inline constexpr int POWER_OFF = 2;         // PF
inline constexpr int OPEN = 3;              // OP
inline constexpr int CLOSE = 4;             // CO
inline constexpr int RESET = 5;             // 99RJ
inline constexpr int PLAY = 6;              // PL
inline constexpr int STOP = 7;              // ST
inline constexpr int SCAN_FORWARD = 8;      // SF
inline constexpr int SCAN_REVERSE = 9;      // SR
inline constexpr int STILL = 10;            // NS
inline constexpr int KEY_LOCK = 11;         // #KL
inline constexpr int QUERY_ADDRESS = 12;    // ?A
inline constexpr int QUERY_CHAPTER = 13;    // ?R
inline constexpr int QUERY_CHAPTERS = 14;   // ?C
inline constexpr int QUERY_TIME = 15;       // ?T
inline constexpr int QUERY_TITLE = 16;      // ?I
inline constexpr int QUERY_KEYS = 17;       // ?K
inline constexpr int QUERY_VIDEO = 18;      // ?V
inline constexpr int QUERY_AUDIO = 19;      // ?J
inline constexpr int QUERY_DISC = 20;       // ?D
inline constexpr int QUERY_STATUS = 21;     // ?P
inline constexpr int QUERY_LABEL = 22;      // ?L
inline constexpr int QUERY_MODEL = 23;      // ?Z
inline constexpr int SWITCH_AUDIO = 24;     // #SW
inline constexpr int NEXT = 25;             // NF
inline constexpr int PREVIOUS = 26;         // NR
inline constexpr int REMOTE_KEY = 27;       // /$/RU
inline constexpr int REMOTE_KEY_LONG = 28;  // L/$/RU
inline constexpr int COUNT = 29;
}  // namespace cmd

// The mnemonic of a command index, or "?" outside the table.
const char* command_name(int index);

// Reply codes (ret_id).
inline constexpr int RET_NONE = 0;
inline constexpr int RET_OK = 1;   // "R"
inline constexpr int RET_E00 = 2;  // communication error (never produced by the model)
inline constexpr int RET_E04 = 3;  // not possible in the current state
inline constexpr int RET_E06 = 4;  // parameter out of range
inline constexpr int RET_E11 = 5;  // no disc
inline constexpr int RET_E12 = 6;  // no such chapter / title
inline constexpr int RET_E15 = 7;  // (not produced by the model)
inline constexpr int RET_E16 = 8;  // (not produced by the model)
inline constexpr int RET_E99 = 9;  // unknown command
inline constexpr int RET_STATUS = 10;

enum class disc_kind { none, bd, dvd, cd };
enum class transport { stop, play, still, scan_forward, scan_reverse };

// Player status codes, answered to "?P" and pushed as "Pnn" events.
inline constexpr int STATUS_STANDBY = 0;
inline constexpr int STATUS_TRAY_OPEN = 1;
inline constexpr int STATUS_NO_DISC = 2;
inline constexpr int STATUS_STOP = 3;
inline constexpr int STATUS_PLAY = 4;
inline constexpr int STATUS_STILL = 5;
inline constexpr int STATUS_SCAN_FORWARD = 6;
inline constexpr int STATUS_SCAN_REVERSE = 7;

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
