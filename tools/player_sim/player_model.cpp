// The simulated player's state machine: command rules, playback clock and
// the status records of every query.
#include "tools/player_sim/player_model.h"

#include <cstdio>
#include <cstring>

#include "app/v232cmd.h"

namespace sim {

// The command library numbers its table as the public header does.
static_assert(V232CMD_COUNT == VBD_CMD_COUNT);

namespace {

constexpr const char* MODEL_TEXT = "VBD-PLAYER-SIM 1.0";

// Status fields are written at their offsets within the response record.
void put_u8(response* ret, int offset, unsigned value) {
  reinterpret_cast<uint8_t*>(ret)[offset] = static_cast<uint8_t>(value);
}
void put_u16(response* ret, int offset, unsigned value) {
  uint16_t v = static_cast<uint16_t>(value);
  memcpy(reinterpret_cast<uint8_t*>(ret) + offset, &v, sizeof v);
}
void put_i32(response* ret, int offset, int32_t value) {
  memcpy(reinterpret_cast<uint8_t*>(ret) + offset, &value, sizeof value);
}

bool is_query(int index) {
  return index == VBD_CMD_QUERY_ERROR ||
         (index >= VBD_CMD_QUERY_ADDRESS && index <= VBD_CMD_QUERY_MODEL);
}

}  // namespace

const char* command_name(int index) {
  return index >= 0 && index < VBD_CMD_COUNT ? v232cmd_names[index] : "?";
}

const char* disc_name(disc_kind disc) {
  switch (disc) {
    case disc_kind::bd: return "bd";
    case disc_kind::dvd: return "dvd";
    case disc_kind::cd: return "cd";
    case disc_kind::none: break;
  }
  return "none";
}

bool parse_disc(const std::string& text, disc_kind* disc) {
  if (text == "bd") *disc = disc_kind::bd;
  else if (text == "dvd") *disc = disc_kind::dvd;
  else if (text == "cd") *disc = disc_kind::cd;
  else if (text == "none") *disc = disc_kind::none;
  else return false;
  return true;
}

player_model::player_model(const player_config& config, uint64_t now_ms)
    : power_on_(config.power_on),
      tray_open_(config.tray_open),
      disc_(config.disc),
      clock_ms_(now_ms) {}

const player_model::disc_layout& player_model::layout() const {
  static constexpr disc_layout NONE{0, {0, 0, 0}, 1};
  static constexpr disc_layout BD{3, {12, 8, 4}, 300000};
  static constexpr disc_layout DVD{2, {20, 6, 0}, 240000};
  static constexpr disc_layout CD{1, {14, 0, 0}, 240000};
  switch (disc_) {
    case disc_kind::bd: return BD;
    case disc_kind::dvd: return DVD;
    case disc_kind::cd: return CD;
    case disc_kind::none: break;
  }
  return NONE;
}

int player_model::title_count() const { return layout().titles; }

int player_model::chapter_count() const { return layout().titles ? layout().chapters[title_] : 0; }

int player_model::chapter() const {
  if (!layout().titles) return 0;
  return static_cast<int>(position_ms_ / static_cast<uint64_t>(layout().chapter_ms)) + 1;
}

bool player_model::media_ready() const {
  return power_on_ && !tray_open_ && disc_ != disc_kind::none;
}

int player_model::media_error() const {
  if (tray_open_) return VBD_RET_E04;
  if (disc_ == disc_kind::none) return VBD_RET_E11;
  return 0;
}

int player_model::status_code() const {
  if (!power_on_) return VBD_STATUS_STANDBY;
  if (tray_open_) return VBD_STATUS_TRAY_OPEN;
  if (disc_ == disc_kind::none) return VBD_STATUS_NO_DISC;
  switch (transport_) {
    case transport::play: return VBD_STATUS_PLAY;
    case transport::still: return VBD_STATUS_STILL;
    case transport::scan_forward: return VBD_STATUS_SCAN_FORWARD;
    case transport::scan_reverse: return VBD_STATUS_SCAN_REVERSE;
    case transport::stop: break;
  }
  return VBD_STATUS_STOP;
}

void player_model::stop_at_start() {
  transport_ = transport::stop;
  title_ = 0;
  position_ms_ = 0;
}

void player_model::note_changes(int old_status, bool old_power) {
  int now_status = status_code();
  // The pushed text is the "?P" reply of the new status ("P03", ...).
  if (now_status != old_status) feedback_.emplace_back(v232cmd_player_status_text(now_status));
  if (power_on_ != old_power) standby_changed_ = true;
}

template <typename Change>
void player_model::changing(uint64_t now_ms, Change change) {
  advance(now_ms);
  int old_status = status_code();
  bool old_power = power_on_;
  change();
  note_changes(old_status, old_power);
}

void player_model::advance(uint64_t now_ms) {
  uint64_t elapsed = now_ms > clock_ms_ ? now_ms - clock_ms_ : 0;
  clock_ms_ = now_ms > clock_ms_ ? now_ms : clock_ms_;
  if (!media_ready() || elapsed == 0) return;
  int old_status = status_code();
  const disc_layout& l = layout();
  auto title_ms = [&] {
    return static_cast<uint64_t>(l.chapters[title_]) * static_cast<uint64_t>(l.chapter_ms);
  };
  switch (transport_) {
    case transport::play:
    case transport::scan_forward: {
      position_ms_ += transport_ == transport::play ? elapsed : elapsed * SCAN_SPEED;
      while (position_ms_ >= title_ms()) {
        if (title_ + 1 < l.titles) {
          position_ms_ -= title_ms();
          ++title_;
        } else {
          stop_at_start();  // end of the disc
          break;
        }
      }
      break;
    }
    case transport::scan_reverse: {
      uint64_t back = elapsed * SCAN_SPEED;
      if (back >= position_ms_) {
        position_ms_ = 0;  // reached the start: play from there
        transport_ = transport::play;
      } else {
        position_ms_ -= back;
      }
      break;
    }
    case transport::still:
    case transport::stop: break;
  }
  note_changes(old_status, power_on_);
}

int player_model::apply(int index, int32_t param) {
  if (index == VBD_CMD_POWER_ON) {
    power_on_ = true;
    return VBD_RET_OK;
  }
  if (index == VBD_CMD_POWER_OFF) {
    if (power_on_) {
      transport_ = transport::stop;
      tray_open_ = false;
      power_on_ = false;
    }
    return VBD_RET_OK;
  }
  if (index < 0 || index >= VBD_CMD_COUNT) return VBD_RET_E99;
  if (!power_on_) return VBD_RET_E04;
  const disc_layout& l = layout();
  switch (index) {
    case VBD_CMD_OPEN:
      stop_at_start();
      tray_open_ = true;
      return VBD_RET_OK;
    case VBD_CMD_CLOSE:
      tray_open_ = false;
      stop_at_start();
      return VBD_RET_OK;
    case VBD_CMD_KEY_LOCK:
      if (param != 0 && param != 1) return VBD_RET_E06;
      key_lock_ = param;
      return VBD_RET_OK;
    case VBD_CMD_REMOTE_KEY:
    case VBD_CMD_REMOTE_KEY_LONG:
      remote_code_ = static_cast<uint32_t>(param);
      return VBD_RET_OK;
    default: break;
  }
  if (int err = media_error()) return err;
  switch (index) {
    case VBD_CMD_RESET: stop_at_start(); return VBD_RET_OK;
    case VBD_CMD_PLAY: transport_ = transport::play; return VBD_RET_OK;
    case VBD_CMD_STOP:
      transport_ = transport::stop;
      position_ms_ = 0;
      return VBD_RET_OK;
    case VBD_CMD_SWITCH_AUDIO:
      if (param < 1 || param > AUDIO_STREAMS) return VBD_RET_E06;
      audio_stream_ = param;
      return VBD_RET_OK;
    default: break;
  }
  // The rest act on a disc that is playing, still or scanning.
  if (transport_ == transport::stop) return VBD_RET_E04;
  uint64_t chapter_ms = static_cast<uint64_t>(l.chapter_ms);
  switch (index) {
    case VBD_CMD_SCAN_FORWARD: transport_ = transport::scan_forward; return VBD_RET_OK;
    case VBD_CMD_SCAN_REVERSE: transport_ = transport::scan_reverse; return VBD_RET_OK;
    case VBD_CMD_STILL:
      if (transport_ == transport::still) {
        uint64_t end = static_cast<uint64_t>(l.chapters[title_]) * chapter_ms;
        if (position_ms_ + STEP_MS < end) position_ms_ += STEP_MS;
      }
      transport_ = transport::still;
      return VBD_RET_OK;
    case VBD_CMD_NEXT:
      if (chapter() < chapter_count()) {
        position_ms_ = static_cast<uint64_t>(chapter()) * chapter_ms;
      } else if (title_ + 1 < l.titles) {
        ++title_;
        position_ms_ = 0;
      } else {
        return VBD_RET_E12;
      }
      return VBD_RET_OK;
    case VBD_CMD_PREVIOUS: {
      uint64_t within = position_ms_ % chapter_ms;
      if (within >= RESTART_CHAPTER_MS) {
        position_ms_ -= within;
      } else if (chapter() > 1) {
        position_ms_ = static_cast<uint64_t>(chapter() - 2) * chapter_ms;
      } else if (title_ > 0) {
        --title_;
        position_ms_ = static_cast<uint64_t>(chapter_count() - 1) * chapter_ms;
      } else {
        return VBD_RET_E12;
      }
      return VBD_RET_OK;
    }
    default: break;
  }
  return VBD_RET_E99;
}

int player_model::status_error(int index) const {
  if (index == VBD_CMD_QUERY_ERROR) return 0;
  if (!power_on_)
    return index == VBD_CMD_QUERY_STATUS || index == VBD_CMD_QUERY_MODEL ? 0 : VBD_RET_E04;
  switch (index) {
    case VBD_CMD_QUERY_ADDRESS:
    case VBD_CMD_QUERY_CHAPTER:
    case VBD_CMD_QUERY_CHAPTERS:
    case VBD_CMD_QUERY_TIME:
    case VBD_CMD_QUERY_TITLE:
    case VBD_CMD_QUERY_LABEL: return media_error();
    default: return 0;
  }
}

void player_model::fill_status(int index, response* ret) const {
  // kind: 0..3 select the long forms, 4 and 5 the short (compact disc) forms.
  int32_t kind = disc_ == disc_kind::cd ? 4 : disc_ == disc_kind::dvd ? 1 : 0;
  bool compact = kind >= 4;
  unsigned seconds_total = static_cast<unsigned>(position_ms_ / 1000);
  unsigned minutes_total = seconds_total / 60;
  switch (index) {
    case VBD_CMD_QUERY_ADDRESS:
      put_i32(ret, 8, kind);
      put_u16(ret, 12, static_cast<unsigned>(compact ? chapter() : title()));
      put_u16(ret, 14, compact ? 1u : static_cast<unsigned>(chapter()));
      put_u8(ret, 16, minutes_total / 60);
      put_u8(ret, 17, minutes_total % 60);
      put_u8(ret, 18, seconds_total % 60);
      break;
    case VBD_CMD_QUERY_CHAPTER:
      put_i32(ret, 8, kind);
      put_u16(ret, 12, static_cast<unsigned>(chapter()));
      break;
    case VBD_CMD_QUERY_CHAPTERS: put_u16(ret, 8, static_cast<unsigned>(chapter_count())); break;
    case VBD_CMD_QUERY_TIME:
      put_i32(ret, 8, kind);
      put_u16(ret, 12, minutes_total);
      put_u8(ret, 14, seconds_total % 60);
      break;
    case VBD_CMD_QUERY_TITLE:
      put_u8(ret, 8, static_cast<unsigned>(title()));
      put_u8(ret, 9, static_cast<unsigned>(title_count()));
      break;
    case VBD_CMD_QUERY_KEYS:
      put_i32(ret, 8, key_lock_);
      put_i32(ret, 12, 2);  // front-panel lock: not supported
      put_u8(ret, 16, static_cast<unsigned>(audio_stream_));
      put_u8(ret, 17, 0);  // subtitles off
      put_u8(ret, 18, 1);  // angle
      put_u8(ret, 19, 0xFF);
      put_u8(ret, 20, 0xFF);
      put_u8(ret, 21, 0xFF);
      break;
    case VBD_CMD_QUERY_VIDEO:
      put_i32(ret, 8, 1);   // digital video output connected
      put_i32(ret, 12, 0);  // 3D output off
      put_i32(ret, 16, 2);  // not supported
      break;
    case VBD_CMD_QUERY_AUDIO:
      put_i32(ret, 8, 1);   // digital audio output on
      put_i32(ret, 12, 1);  // downmix on
      put_i32(ret, 16, 0);  // dialogue enhancement off
      break;
    case VBD_CMD_QUERY_DISC: {
      int32_t type = disc_ == disc_kind::bd    ? 0
                     : disc_ == disc_kind::dvd ? 1
                     : disc_ == disc_kind::cd  ? 2
                                               : 3;
      int32_t state = tray_open_                 ? 5
                      : disc_ == disc_kind::none ? 6
                                                 : static_cast<int32_t>(transport_);
      put_i32(ret, 8, disc_ != disc_kind::none && !tray_open_ ? 1 : 0);
      put_i32(ret, 12, type);
      put_i32(ret, 16, state);
      break;
    }
    case VBD_CMD_QUERY_STATUS: put_i32(ret, 8, status_code()); break;
    case VBD_CMD_QUERY_LABEL: {
      char label[36] = {};
      snprintf(label, sizeof label, "VBD SIM %s DISC",
               disc_ == disc_kind::bd    ? "BD"
               : disc_ == disc_kind::dvd ? "DVD"
                                         : "CD");
      memcpy(ret->data, label, sizeof label);
      break;
    }
    case VBD_CMD_QUERY_MODEL:
      snprintf(reinterpret_cast<char*>(ret->data), sizeof ret->data, "%s", MODEL_TEXT);
      break;
    default: break;  // "?E": the status form carries no data
  }
}

outcome player_model::execute(int index, int32_t param, uint64_t now_ms) {
  outcome out{};
  out.ret.cmd_id = index;
  out.result = 0;
  changing(now_ms, [&] {
    if (index >= 0 && index < VBD_CMD_COUNT && is_query(index)) {
      if (int err = status_error(index)) {
        out.ret.ret_id = err;
      } else {
        out.ret.ret_id = VBD_RET_STATUS;
        fill_status(index, &out.ret);
      }
    } else {
      out.ret.ret_id = apply(index, param);
    }
  });
  return out;
}

void player_model::set_power(bool on, uint64_t now_ms) {
  changing(now_ms, [&] { apply(on ? VBD_CMD_POWER_ON : VBD_CMD_POWER_OFF, 0); });
}

void player_model::set_tray(bool open, uint64_t now_ms) {
  changing(now_ms, [&] {
    tray_open_ = open;
    stop_at_start();
  });
}

void player_model::set_disc(disc_kind disc, uint64_t now_ms) {
  changing(now_ms, [&] {
    disc_ = disc;
    stop_at_start();
  });
}

std::vector<std::string> player_model::take_feedback() {
  std::vector<std::string> out;
  out.swap(feedback_);
  return out;
}

bool player_model::take_standby_change(int* standby_out) {
  if (!standby_changed_) return false;
  standby_changed_ = false;
  *standby_out = standby();
  return true;
}

std::string player_model::describe() const {
  static constexpr const char* TRANSPORT[] = {"stop", "play", "still", "scan-forward",
                                              "scan-reverse"};
  unsigned s = static_cast<unsigned>(position_ms_ / 1000);
  char text[200];
  snprintf(text, sizeof text,
           "power=%s tray=%s disc=%s transport=%s title=%d/%d chapter=%d/%d time=%02u:%02u:%02u "
           "status=P%02d "
           "keylock=%d audio=%d remote=0x%08x",
           power_on_ ? "on" : "off", tray_open_ ? "open" : "closed", disc_name(disc_),
           TRANSPORT[static_cast<int>(transport_)], title_count() ? title() : 0, title_count(),
           chapter(), chapter_count(), s / 3600, (s / 60) % 60, s % 60, status_code(), key_lock_,
           audio_stream_, remote_code_);
  return text;
}

}  // namespace sim
