// The simulated player: power, tray, disc, transport and the playback
// position, the effect of each control command on them, and the status
// records the player answers queries with. Pure state: time is passed in.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/player_sim/sim_queue.h"

namespace sim {

// The mnemonic of a command index (the command library's table), or "?"
// outside the table.
const char* command_name(int index);

enum class disc_kind { none, bd, dvd, cd };
enum class transport { stop, play, still, scan_forward, scan_reverse };

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
