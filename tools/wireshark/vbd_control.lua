-- vbd_control.lua: Wireshark dissector for vBdServer's control port (TCP,
-- 8102 unless changed in the "vbd.port" preference). It cuts the client's
-- bytes into requests as the server's framer does (text ended by CR, or a
-- binary frame opened by 0x02), splits each request line into mnemonics
-- with the server's own command table and matching rules, pairs every
-- reply line or reply frame with the request it answers, and tells the
-- rest apart as auto-feedback events pushed by the player.
--
-- Load it with  tshark -X lua_script:vbd_control.lua ...  or install it in
-- a Lua plugin folder (tshark -G folders lists them).
--
-- Replies carry no sequence number, so a line is taken as the awaited
-- reply when its form fits (as vbdctl does): every other line is an event.
-- The pairing needs the whole conversation from its start; it is worked
-- out in packet order on the first pass and kept for later passes.

local vbd = Proto("vbd", "vBdServer control protocol")

local DEFAULT_PORT = 8102
local MAX_REQUEST_BYTES = 256 -- the server's request buffer
local MAX_REPLY_LINE = 4096 -- a reply line without LF is taken whole after this
local FRAME_START = 0x02

---------------------------------------------------------------------------
-- The command table (app/v232cmd_table.cpp): the index is the command
-- number sent to the player. "#" takes a run of decimal digits, "$" exactly
-- eight hexadecimal digits; either is a literal character when the text
-- does not fit it. Patterns are tried from the last to the first.
---------------------------------------------------------------------------
local COMMANDS = {
  [0] = "?E", "PN", "PF", "OP", "CO", "99RJ", "PL", "ST", "SF", "SR", "NS", "#KL",
  "?A", "?R", "?C", "?T", "?I", "?K", "?V", "?J", "?D", "?P", "?L", "?Z",
  "#SW", "NF", "NR", "/$/RU", "L/$/RU",
}
local COMMAND_COUNT = 29

local CMD_QUERY_ERROR = 0
local CMD_QUERY_ADDRESS, CMD_QUERY_CHAPTER, CMD_QUERY_CHAPTERS, CMD_QUERY_TIME = 12, 13, 14, 15
local CMD_QUERY_TITLE, CMD_QUERY_KEYS, CMD_QUERY_VIDEO, CMD_QUERY_AUDIO = 16, 17, 18, 19
local CMD_QUERY_DISC, CMD_QUERY_STATUS, CMD_QUERY_LABEL, CMD_QUERY_MODEL = 20, 21, 22, 23
local REPLY_TEXT_MAX = 32

local COMMAND_NAMES = {
  [0] = "last error code", "power on", "power off", "open tray", "close tray", "reset",
  "play", "stop", "scan forward", "scan reverse", "still", "key lock",
  "address", "chapter", "chapter count", "time", "title", "keys", "video", "audio",
  "disc", "player status", "disc label", "model",
  "switch audio", "next", "previous", "remote key", "remote key (long)",
}

local STATUS_NAMES = { [0] = "standby", "tray open", "no disc", "stop", "play", "still",
  "scan forward", "scan reverse" }

local ERRORS = {
  E00 = "communication error",
  E04 = "not possible now, or no answer from the player",
  E06 = "parameter out of range",
  E11 = "no disc",
  E12 = "no such title or chapter",
  E15 = "player error 15",
  E16 = "player error 16",
  E99 = "command not supported",
}

---------------------------------------------------------------------------
-- Fields
---------------------------------------------------------------------------
local REQUEST_TYPES = { [0] = "text line", [1] = "binary frame", [2] = "empty line",
  [3] = "dropped by the server" }
local player_status_names = {}
for code = 0, 9 do player_status_names[code] = STATUS_NAMES[code] or "unknown" end
local command_names = {}
for i = 0, COMMAND_COUNT - 1 do command_names[i] = COMMANDS[i] .. " (" .. COMMAND_NAMES[i] .. ")" end

local f = {
  request = ProtoField.string("vbd.request", "Request"),
  request_type = ProtoField.uint8("vbd.request.type", "Request type", base.DEC, REQUEST_TYPES),
  command = ProtoField.string("vbd.command", "Command"),
  mnemonic = ProtoField.string("vbd.mnemonic", "Mnemonic as sent"),
  cmd_index = ProtoField.uint8("vbd.cmd_index", "Command index", base.DEC, command_names),
  pattern = ProtoField.string("vbd.pattern", "Table entry"),
  param = ProtoField.uint32("vbd.param", "Parameter", base.DEC_HEX),
  no_match = ProtoField.string("vbd.no_match", "Not a command (rest of the line ignored)"),
  abort = ProtoField.bool("vbd.abort", "Line aborted by 0xFF"),
  handshake = ProtoField.string("vbd.handshake", "Connection request"),
  con_mac = ProtoField.string("vbd.con.mac", "Client MAC"),
  con_name = ProtoField.string("vbd.con.name", "Client name"),
  dropped = ProtoField.string("vbd.dropped", "Dropped"),
  reply = ProtoField.string("vbd.reply", "Reply"),
  reply_to = ProtoField.string("vbd.reply.to", "Answers"),
  request_in = ProtoField.framenum("vbd.reply.request_in", "Request in frame", base.NONE, frametype.REQUEST),
  error = ProtoField.string("vbd.error", "Error code"),
  meaning = ProtoField.string("vbd.meaning", "Meaning"),
  event = ProtoField.string("vbd.event", "Event"),
  player_status = ProtoField.uint8("vbd.player_status", "Player status", base.DEC, player_status_names),
  frame = ProtoField.bytes("vbd.frame", "Binary frame"),
  frame_start = ProtoField.uint8("vbd.frame.start", "Start", base.HEX),
  frame_header = ProtoField.uint8("vbd.frame.header", "Header", base.HEX),
  frame_checked = ProtoField.bool("vbd.frame.header.checked", "Trailer and checksum follow", 8, nil, 0x80),
  frame_length_size = ProtoField.uint8("vbd.frame.header.length_size", "Length field size", base.DEC, nil, 0x7F),
  frame_length = ProtoField.uint16("vbd.frame.length", "Length", base.DEC),
  frame_payload = ProtoField.bytes("vbd.frame.payload", "Payload"),
  frame_trailer = ProtoField.uint8("vbd.frame.trailer", "Trailer", base.HEX),
  frame_trailer_count = ProtoField.uint8("vbd.frame.trailer.count", "Bytes from the checksum to the end",
    base.DEC, nil, 0x0F),
  frame_checksum = ProtoField.uint8("vbd.frame.checksum", "Checksum", base.HEX),
  frame_checksum_ok = ProtoField.bool("vbd.frame.checksum_ok", "Checksum good"),
  frame_checksum_calc = ProtoField.uint8("vbd.frame.checksum_calculated", "Calculated checksum", base.HEX),
}
vbd.fields = f

local e = {
  bad_checksum = ProtoExpert.new("vbd.frame.bad_checksum", "Wrong frame checksum",
    expert.group.CHECKSUM, expert.severity.ERROR),
  error_reply = ProtoExpert.new("vbd.error_reply", "Error reply", expert.group.RESPONSE_CODE, expert.severity.NOTE),
  no_match = ProtoExpert.new("vbd.no_match.expert", "Not a command: the server answers E04 and ignores the rest",
    expert.group.PROTOCOL, expert.severity.WARN),
  dropped = ProtoExpert.new("vbd.dropped.expert", "Request dropped by the server", expert.group.MALFORMED,
    expert.severity.WARN),
  unchecked = ProtoExpert.new("vbd.frame.unchecked", "Frame without checksum", expert.group.PROTOCOL,
    expert.severity.WARN),
  odd_header = ProtoExpert.new("vbd.frame.odd_header", "Unusual frame header", expert.group.PROTOCOL,
    expert.severity.NOTE),
}
vbd.experts = { e.bad_checksum, e.error_reply, e.no_match, e.dropped, e.unchecked, e.odd_header }

vbd.prefs.port = Pref.uint("Control port", DEFAULT_PORT, "TCP port of vBdServer's control server")

---------------------------------------------------------------------------
-- Small helpers
---------------------------------------------------------------------------
local function xor8(a, b)
  local r, bit = 0, 1
  for _ = 1, 8 do
    if (a % 2) ~= (b % 2) then r = r + bit end
    a, b, bit = math.floor(a / 2), math.floor(b / 2), bit * 2
  end
  return r
end

local function upper(c)
  if c >= 97 and c <= 122 then return c - 32 end
  return c
end

local function is_digit(c) return c ~= nil and c >= 48 and c <= 57 end

-- Text for display and filtering: bytes outside printable ASCII as \xNN.
local function printable(s)
  return (s:gsub("[^\32-\126]", function(ch) return string.format("\\x%02X", ch:byte()) end))
end

-- A label as vbdctl prints it: control bytes escaped, quoted when empty
-- or when it starts or ends with a space.
local function display_label(label)
  local out = label:gsub(".", function(c)
    local b = c:byte()
    if b >= 32 and b <= 126 and c ~= "\\" then return nil end
    if c == "\\" then return "\\\\" end
    if c == "\r" then return "\\r" end
    if c == "\n" then return "\\n" end
    return string.format("\\x%02X", c:byte())
  end)
  if label == "" or label:sub(1, 1) == " " or label:sub(-1) == " " then return '"' .. out .. '"' end
  return out
end

local function all_in(s, alphabet)
  for i = 1, #s do
    if not alphabet:find(s:sub(i, i), 1, true) then return false end
  end
  return true
end

local function digits(s, n) return #s == n and s:match("^%d+$") ~= nil end

local function number(s, pos, n) return tonumber(s:sub(pos + 1, pos + n)) or 0 end

local function flag(c) return c == "0" and "off" or c == "1" and "on" or "n/a" end

local function status_name(code) return STATUS_NAMES[code] or "unknown" end

local function ch(s, i) return s:sub(i + 1, i + 1) end

---------------------------------------------------------------------------
-- The mnemonic matcher (app/v232cmd_match.cpp)
---------------------------------------------------------------------------
local MATCH_END, MATCH_ABORT, MATCH_NONE = -1, -2, -3

-- Walks one pattern against s from pos (1-based); the bytes covered and the
-- capture, or nil. Each capture starts from 0, so the last one wins; the
-- value wraps modulo 2^32.
local function match_pattern(pattern, s, pos)
  local p, value, n = pos, 0, #s
  for i = 1, #pattern do
    if p > n then return nil end
    local pc, tc = pattern:byte(i), s:byte(p)
    local taken = false
    if pc == 35 and is_digit(tc) then -- "#"
      value = 0
      while is_digit(s:byte(p)) do
        value = (value * 10 + s:byte(p) - 48) % 4294967296
        p = p + 1
      end
      taken = true
    elseif pc == 36 and n - p + 1 >= 8 then -- "$"
      local hex = s:sub(p, p + 7)
      if hex:match("^%x%x%x%x%x%x%x%x$") then
        value = tonumber(hex, 16)
        p = p + 8
        taken = true
      end
    end
    if not taken then
      if upper(pc) ~= upper(tc) then return nil end
      p = p + 1
    end
  end
  return p - pos, value
end

-- One mnemonic at pos: index (or MATCH_*), bytes consumed, parameter.
local function match_command(s, pos)
  local c = s:byte(pos)
  if c == nil or c == 0 or c == 13 or c == 10 then return MATCH_END, 1, 0 end
  if c == 0xFF then return MATCH_ABORT, 1, 0 end
  for index = COMMAND_COUNT - 1, 0, -1 do
    local covered, value = match_pattern(COMMANDS[index], s, pos)
    if covered and covered > 0 then return index, covered, value end
  end
  return MATCH_NONE, 0, 0
end

-- The mnemonic with its parameter filled in: "12KL", "/0000ABCD/RU".
local function command_label(index, param)
  return (COMMANDS[index]:gsub("[#$]", function(c)
    return c == "#" and string.format("%d", param) or string.format("%08X", param)
  end))
end

local function is_status_query(index)
  return index == CMD_QUERY_ERROR or (index >= CMD_QUERY_ADDRESS and index <= CMD_QUERY_MODEL)
end

---------------------------------------------------------------------------
-- A request line through the server's rules (the server's handshake and
-- its line processor, as vbdctl's expected_replies): the steps to show
-- and the replies the line brings when every command succeeds. A status
-- reply goes out at once; an action's reply waits for the end of the
-- segment and a later command overwrites it; CR, LF and NUL end a segment;
-- text that is no mnemonic becomes "E04" and ends the line; 0xFF aborts
-- it. The server holds one reply at a time, so each reply answers the
-- slice of the line from the first command after the previous reply to its
-- own end (its label), and the commands before its own in that slice ran
-- without a reply of their own (ran_before).
---------------------------------------------------------------------------
local function split_line(s)
  local steps, expected = {}, {}
  if s:sub(1, 3) == "CON" then
    local words = {}
    for w in s:gmatch("[^ ]+") do words[#words + 1] = w end
    steps[#steps + 1] = { kind = "handshake", what = "CON", mac = words[2], name = words[3] }
    expected[1] = { kind = "con", label = s, source = "CON", ran_before = {} }
    return steps, expected
  end
  if s:sub(1, 3) == "BIN" and s ~= "BINFIN" then
    steps[#steps + 1] = { kind = "handshake", what = "BIN" }
    expected[#expected + 1] = { kind = "bin", label = s, source = "BIN", ran_before = {} }
  end
  local start, ran, pending = nil, {}, nil
  local function deliver(reply, stop) -- stop: one past the slice's last byte
    reply.label = s:sub(start, stop - 1)
    reply.ran_before = ran
    expected[#expected + 1] = reply
    start, ran, pending = nil, {}, nil
  end
  local pos = 1
  while pos <= #s do
    local index, consumed, param = match_command(s, pos)
    if index == MATCH_ABORT then
      steps[#steps + 1] = { kind = "abort", pos = pos, len = 1 }
      if pending then deliver(pending, pos) end
      return steps, expected
    elseif index == MATCH_END then
      if pending then deliver(pending, pos) end
      pos = pos + 1
    else
      start = start or pos
      if index == MATCH_NONE then
        local rest = s:sub(pos)
        steps[#steps + 1] = { kind = "no_match", pos = pos, len = #rest, text = rest }
        if pending then ran[#ran + 1] = pending.source end
        deliver({ kind = "no_match", source = rest }, #s + 1)
        return steps, expected
      end
      local sent = s:sub(pos, pos + consumed - 1)
      steps[#steps + 1] = { kind = "command", pos = pos, len = consumed, index = index, param = param,
        sent = sent, label = command_label(index, param) }
      local reply = { kind = is_status_query(index) and "status" or "action", cmd = index, source = sent }
      pos = pos + consumed
      if pending then ran[#ran + 1] = pending.source end
      if reply.kind == "status" then deliver(reply, pos) else pending = reply end
    end
  end
  if pending then deliver(pending, #s + 1) end
  return steps, expected
end

---------------------------------------------------------------------------
-- Reply forms and meanings (vbdctl's ctl_protocol.cpp)
---------------------------------------------------------------------------
local DISC_TYPES = { ["0"] = "BD", ["1"] = "DVD", ["2"] = "CD" }
local DISC_STATES = { ["0"] = "stop", ["1"] = "play", ["2"] = "still", ["3"] = "scan forward",
  ["4"] = "scan reverse", ["5"] = "tray open" }

local function status_fits(cmd, t)
  if cmd == CMD_QUERY_ERROR then return t == "00" end
  if cmd == CMD_QUERY_ADDRESS then return digits(t, 8) or digits(t, 12) end
  if cmd == CMD_QUERY_CHAPTER then return digits(t, 2) or digits(t, 3) end
  if cmd == CMD_QUERY_CHAPTERS then return digits(t, 3) end
  if cmd == CMD_QUERY_TIME then return digits(t, 4) or digits(t, 6) end
  if cmd == CMD_QUERY_TITLE then return digits(t, 4) end
  if cmd == CMD_QUERY_KEYS then
    return #t == 8 and all_in(t:sub(1, 2), "01x") and all_in(t:sub(3), "0123456789x")
  end
  if cmd == CMD_QUERY_VIDEO or cmd == CMD_QUERY_AUDIO then
    return #t == 5 and all_in(t, "01x") and ch(t, 1) == "x" and ch(t, 2) == "x"
  end
  if cmd == CMD_QUERY_DISC then
    return #t == 3 and all_in(ch(t, 0), "01x") and all_in(ch(t, 1), "012x") and all_in(ch(t, 2), "012345x")
  end
  if cmd == CMD_QUERY_STATUS then return t:match("^P0%d$") ~= nil end
  if cmd == CMD_QUERY_LABEL or cmd == CMD_QUERY_MODEL then return #t <= REPLY_TEXT_MAX end
  return false
end

local function describe_status(cmd, t)
  if cmd == CMD_QUERY_ERROR then return t == "00" and "no error since start, player on" or "" end
  if cmd == CMD_QUERY_ADDRESS then
    if #t == 12 then
      return string.format("title %d, chapter %d, %02d:%02d:%02d", number(t, 0, 3), number(t, 3, 3),
        number(t, 6, 2), number(t, 8, 2), number(t, 10, 2))
    end
    return string.format("track %d, index %d, %02d:%02d", number(t, 0, 2), number(t, 2, 2), number(t, 4, 2),
      number(t, 6, 2))
  end
  if cmd == CMD_QUERY_CHAPTER then return string.format("%s %d", #t == 3 and "chapter" or "track", number(t, 0, #t)) end
  if cmd == CMD_QUERY_CHAPTERS then return string.format("%d chapters", number(t, 0, 3)) end
  if cmd == CMD_QUERY_TIME then
    local m = #t - 2
    return string.format("elapsed %d min %02d s", number(t, 0, m), number(t, m, 2))
  end
  if cmd == CMD_QUERY_TITLE then return string.format("title %d of %d", number(t, 0, 2), number(t, 2, 2)) end
  if cmd == CMD_QUERY_KEYS then
    return string.format("key lock %s, panel lock %s, audio %s, subtitle %s, angle %s, other %s", flag(ch(t, 0)),
      flag(ch(t, 1)), ch(t, 2), ch(t, 3), ch(t, 4), t:sub(6, 8))
  end
  if cmd == CMD_QUERY_VIDEO or cmd == CMD_QUERY_AUDIO then
    return string.format("flags %s, %s, %s", flag(ch(t, 0)), flag(ch(t, 3)), flag(ch(t, 4)))
  end
  if cmd == CMD_QUERY_DISC then
    local c0 = ch(t, 0)
    return string.format("disc loaded %s, type %s, state %s", c0 == "1" and "yes" or c0 == "0" and "no" or "n/a",
      DISC_TYPES[ch(t, 1)] or "none", DISC_STATES[ch(t, 2)] or "no disc")
  end
  if cmd == CMD_QUERY_STATUS then
    return string.format("player status %s: %s", t:sub(2, 3), status_name(number(t, 1, 2)))
  end
  if cmd == CMD_QUERY_LABEL then return string.format('disc label "%s"', printable(t)) end
  if cmd == CMD_QUERY_MODEL then return string.format('model "%s"', printable(t)) end
  return ""
end

local function reply_fits(exp, t)
  if exp.kind == "con" then return t == "CON" or t == "ERR" end
  if exp.kind == "bin" then return t == "BINFIN" end
  if exp.kind == "frame_error" then return t == "ERR" end
  if exp.kind == "no_match" then return t == "E04" end
  if exp.kind == "action" then return t == "R" or ERRORS[t] ~= nil end
  return ERRORS[t] ~= nil or status_fits(exp.cmd, t)
end

-- What a reply says about the commands before its own in its slice: they
-- ran, and this reply answers for them; an error came from the first of
-- them that failed, where the line stopped.
local function ran_before_note(exp, is_error)
  if #exp.ran_before == 0 then return "" end
  local names = {}
  for _, name in ipairs(exp.ran_before) do names[#names + 1] = display_label(name) end
  if is_error then
    return "; from one of " .. table.concat(names, ", ") .. ", " .. display_label(exp.source) ..
      ": the line stopped there"
  end
  return "; " .. table.concat(names, ", ") ..
    (#names == 1 and " ran before it, without a reply of its own" or " ran before it, without replies of their own")
end

local function describe_reply(exp, t)
  if exp.kind == "con" then
    return t == "CON" and "connection accepted" or "connection refused (client not registered)"
  end
  if exp.kind == "bin" then return "binary handshake answered" end
  if exp.kind == "frame_error" then return "request frame dropped: wrong checksum" end
  if exp.kind == "no_match" then
    -- Always quoted: the text may be a lone space.
    local source = display_label(exp.source)
    if source:sub(1, 1) ~= '"' then source = '"' .. source .. '"' end
    return "no command at " .. source .. ": the rest of the line was ignored" .. ran_before_note(exp, false)
  end
  local meaning
  local err = ERRORS[t]
  if err then
    meaning = (exp.cmd == CMD_QUERY_ERROR and "last error: " or "error: ") .. err
  elseif exp.kind == "action" then
    meaning = t == "R" and "done" or ""
  else
    meaning = status_fits(exp.cmd, t) and describe_status(exp.cmd, t) or ""
  end
  if meaning == "" then return "" end
  return meaning .. ran_before_note(exp, err ~= nil)
end

local function describe_event(t)
  local code = t:match("^P(%d%d)$")
  if code then return string.format("player status %s: %s", code, status_name(tonumber(code))) end
  return ""
end

---------------------------------------------------------------------------
-- Conversation state and what the first pass worked out
---------------------------------------------------------------------------
local conversations = {} -- client and server address and port -> state
-- The units each packet completed on the first pass, per direction, in
-- stream order, with their bytes: a later pass (tshark -2, a click in the
-- GUI) shows them again without a second run through the conversation,
-- whose state has moved on. TCP may hand a packet's bytes over in other
-- pieces then (a reassembled request alone, the rest on its own), so a
-- unit is found again by its bytes, from where the last one was found.
local packets = {}
local revisit = { key = nil, next = 1 }

function vbd.init()
  conversations = {}
  packets = {}
  revisit = { key = nil, next = 1 }
end

-- The conversation of a packet, the same for both directions. Keyed by the
-- addresses and ports rather than tcp.stream: a field's value is not
-- there to read on a first pass that builds no tree (tshark -2).
local function conversation(pinfo, is_request)
  local client, server = tostring(pinfo.src) .. ":" .. pinfo.src_port, tostring(pinfo.dst) .. ":" .. pinfo.dst_port
  if not is_request then client, server = server, client end
  local id = client .. "-" .. server
  local c = conversations[id]
  if not c then
    -- previous_binary: the mode of the client's last request, which decides
    -- how the server reads the first byte of the next one.
    c = { previous_binary = false, awaiting = {} }
    conversations[id] = c
  end
  return c
end

---------------------------------------------------------------------------
-- Binary frames: 0x02, header H, length L (MSB first), L payload bytes and,
-- when H bit 7 is set, trailer T and the XOR of every byte before it; T's
-- low nibble counts the bytes from the checksum to the frame's end. H bits
-- 0-6 give the length field's size S (2 in every frame this system
-- builds); the server expects the trailer at offset S + L + 2.
---------------------------------------------------------------------------
local function frame_checksum(tvb, offset, count)
  local sum = 0
  for i = 0, count - 1 do sum = xor8(sum, tvb(offset + i, 1):uint()) end
  return sum
end

-- The layout the server's framer reads from a request frame's first four
-- bytes. The trailer is looked for only from the payload's first byte on
-- (offset 4), so a frame whose trailer would come earlier never ends.
local function request_frame_layout(tvb, offset)
  local header = tvb(offset + 1, 1):uint()
  local length = tvb(offset + 2, 2):uint()
  local k = header % 128 + length
  return { header = header, length = length, checked = header >= 128, trailer_at = k + 2, checksum_at = k + 3 }
end

---------------------------------------------------------------------------
-- Client to server: one request from offset, or nil when more bytes are
-- needed.
---------------------------------------------------------------------------
local function take_request(tvb, offset, conv)
  local avail = tvb:len() - offset
  local first = tvb(offset, 1):uint()
  local unit = { offset = offset, direction = "request" }

  if first == FRAME_START then
    if avail < 4 then return nil end
    local fr = request_frame_layout(tvb, offset)
    unit.frame = fr
    local last -- index of the frame's last byte, nil: never ends
    if fr.trailer_at >= 4 then
      if not fr.checked then
        last = fr.trailer_at
      elseif fr.checksum_at < MAX_REQUEST_BYTES then
        if avail <= fr.trailer_at then return nil end
        local count = tvb(offset + fr.trailer_at, 1):uint() % 16
        if count == 1 then last = fr.checksum_at elseif count > 1 then last = fr.trailer_at + count end
      end
    end
    if last == nil or last >= MAX_REQUEST_BYTES then
      -- The buffer fills up first: 256 bytes are dropped.
      if avail < MAX_REQUEST_BYTES then return nil end
      unit.length, unit.type = MAX_REQUEST_BYTES, 3
      unit.dropped = "binary frame that does not end within 256 bytes"
      conv.previous_binary = true
      return unit
    end
    if avail <= last then return nil end
    unit.length, unit.type = last + 1, 1
    conv.previous_binary = true
    if fr.checked then
      fr.checksum = tvb(offset + fr.checksum_at, 1):uint()
      fr.calculated = frame_checksum(tvb, offset, fr.checksum_at)
      fr.good = fr.checksum == fr.calculated
      -- The server's text is the payload, cut at a NUL.
      local payload_end = math.min(4 + fr.length, unit.length)
      unit.text_offset = offset + 4
      unit.text = payload_end > 4 and tvb(offset + 4, payload_end - 4):raw() or ""
    else
      -- Without a checksum the server hands its parser the frame from the
      -- start byte on, which no mnemonic matches.
      unit.text_offset = offset
      unit.text = tvb(offset, fr.trailer_at):raw()
    end
    return unit
  end

  if first == 13 and not conv.previous_binary then
    unit.length, unit.type, unit.text, unit.text_offset = 1, 2, "", offset
    return unit
  end
  -- A text request: up to the next CR. After a binary frame a leading CR is
  -- the request's first byte, not its end.
  local limit = math.min(avail, MAX_REQUEST_BYTES)
  for i = 1, limit - 1 do
    if tvb(offset + i, 1):uint() == 13 then
      unit.length, unit.type, unit.text_offset = i + 1, 0, offset
      unit.text = tvb(offset, i):raw()
      conv.previous_binary = false
      return unit
    end
  end
  if avail < MAX_REQUEST_BYTES then return nil end
  unit.length, unit.type = MAX_REQUEST_BYTES, 3
  unit.dropped = "256 bytes without a carriage return"
  conv.previous_binary = false
  return unit
end

-- The server's view of a complete request: steps and the replies awaited.
local function analyse_request(unit, conv, number)
  if unit.type == 3 or unit.type == 2 then return end
  if unit.frame and unit.frame.checked and not unit.frame.good then
    table.insert(conv.awaiting, { kind = "frame_error", label = "bad frame", source = "", ran_before = {}, frame = number,
      line = {} })
    return
  end
  local nul = unit.text:find("\0", 1, true)
  if nul then unit.text = unit.text:sub(1, nul - 1) end
  local steps, expected = split_line(unit.text)
  unit.steps = steps
  local line = {} -- shared by the line's replies: the first error ends the line
  for _, exp in ipairs(expected) do
    exp.frame, exp.line = number, line
    table.insert(conv.awaiting, exp)
  end
end

---------------------------------------------------------------------------
-- Server to client: one reply unit (a line ended by LF, or a frame built
-- by the binary reply encoder), taken as vbdctl takes it.
---------------------------------------------------------------------------
local function take_reply(tvb, offset)
  local avail = tvb:len() - offset
  local unit = { offset = offset, direction = "reply" }
  local first = tvb(offset, 1):uint()
  if first == 13 then
    -- A line that ended in LF CR leaves its CR in front of the next unit.
    if avail < 2 then return nil end
    if tvb(offset + 1, 1):uint() ~= 10 then
      unit.length, unit.stray = 1, true
      return unit
    end
  end
  if first == FRAME_START then
    if avail < 4 then return nil end
    local header, length = tvb(offset + 1, 1):uint(), tvb(offset + 2, 2):uint()
    local fr = { header = header, length = length, checked = header >= 128, trailer_at = 4 + length }
    local total = 5 + length
    if fr.checked then
      if avail < 5 + length then return nil end
      local count = tvb(offset + 4 + length, 1):uint() % 16
      fr.checksum_at = 5 + length
      total = 5 + length + (count == 0 and 1 or count)
    end
    if avail < total then return nil end
    if fr.checked then
      fr.checksum = tvb(offset + fr.checksum_at, 1):uint()
      fr.calculated = frame_checksum(tvb, offset, fr.checksum_at)
      fr.good = fr.checksum == fr.calculated
    end
    unit.frame, unit.length = fr, total
    unit.text_offset = offset + 4
    -- The encoder frames the reply text as it is, line end included.
    unit.text = length > 0 and tvb(offset + 4, length):raw():gsub("[\r\n]+$", "") or ""
    return unit
  end
  local limit = math.min(avail, MAX_REPLY_LINE)
  local eol
  for i = 0, limit - 1 do
    if tvb(offset + i, 1):uint() == 10 then eol = i break end
  end
  if not eol then
    if avail < MAX_REPLY_LINE then return nil end
    unit.length = MAX_REPLY_LINE
  else
    unit.length = eol + 1
  end
  unit.text_offset = offset
  unit.text = tvb(offset, eol or MAX_REPLY_LINE):raw():gsub("^\r+", ""):gsub("\r+$", "")
  return unit
end

-- A reply the client awaits, or an event pushed by the player.
local function analyse_reply(unit, conv)
  if unit.stray then return end
  if unit.frame and unit.frame.checked and not unit.frame.good then
    unit.bad = true
    return
  end
  local t = unit.text
  local front = conv.awaiting[1]
  if front and reply_fits(front, t) then
    table.remove(conv.awaiting, 1)
    unit.expected = front
    unit.meaning = describe_reply(front, t)
    if ERRORS[t] then
      unit.error = t
      -- The first error ends its line on the server.
      while conv.awaiting[1] and conv.awaiting[1].line == front.line do table.remove(conv.awaiting, 1) end
    end
    if front.kind == "status" and front.cmd == CMD_QUERY_STATUS and not ERRORS[t] then
      unit.status = tonumber(t:sub(2, 3))
    end
  else
    unit.event = true
    unit.meaning = describe_event(t)
    local code = t:match("^P(%d%d)$")
    if code then unit.status = tonumber(code) end
  end
end

---------------------------------------------------------------------------
-- The tree
---------------------------------------------------------------------------
local function add_frame(tree, tvb, unit)
  local fr = unit.frame
  local ft = tree:add(f.frame, tvb(unit.offset, unit.length))
  ft:set_text("Binary frame, " .. fr.length .. " payload bytes")
  ft:add(f.frame_start, tvb(unit.offset, 1))
  local ht = ft:add(f.frame_header, tvb(unit.offset + 1, 1))
  ht:add(f.frame_checked, tvb(unit.offset + 1, 1))
  ht:add(f.frame_length_size, tvb(unit.offset + 1, 1))
  if fr.header % 128 ~= 2 then ht:add_proto_expert_info(e.odd_header, "Length field size is not 2") end
  ft:add(f.frame_length, tvb(unit.offset + 2, 2))
  local payload = math.min(fr.length, unit.length - 4)
  if payload > 0 then ft:add(f.frame_payload, tvb(unit.offset + 4, payload)) end
  if fr.trailer_at < unit.length then
    local tt = ft:add(f.frame_trailer, tvb(unit.offset + fr.trailer_at, 1))
    tt:add(f.frame_trailer_count, tvb(unit.offset + fr.trailer_at, 1))
  end
  if not fr.checked then
    ft:add_proto_expert_info(e.unchecked)
    return
  end
  if fr.checksum == nil then return end
  local ct = ft:add(f.frame_checksum, tvb(unit.offset + fr.checksum_at, 1))
  ct:append_text(fr.good and " [good]" or string.format(" [bad, should be 0x%02x]", fr.calculated))
  local ok = ft:add(f.frame_checksum_ok, tvb(unit.offset + fr.checksum_at, 1), fr.good)
  ok:set_generated()
  local calc = ft:add(f.frame_checksum_calc, tvb(unit.offset + fr.checksum_at, 1), fr.calculated)
  calc:set_generated()
  if not fr.good then ct:add_proto_expert_info(e.bad_checksum) end
end

local function render_request(tree, tvb, unit)
  local rt = tree:add(vbd, tvb(unit.offset, unit.length))
  rt:add(f.request_type, tvb(unit.offset, unit.length), unit.type):set_generated()
  if unit.frame and unit.type == 1 then add_frame(rt, tvb, unit) end
  if unit.type == 3 then
    rt:set_text("vBd request dropped: " .. unit.dropped)
    rt:add(f.dropped, tvb(unit.offset, unit.length), unit.dropped):add_proto_expert_info(e.dropped)
    return "Request dropped (" .. unit.dropped .. ")"
  end
  if unit.type == 2 then
    rt:set_text("vBd request: empty line")
    return "Request: empty line"
  end
  if unit.frame and unit.frame.checked and not unit.frame.good then
    rt:set_text("vBd request frame with a wrong checksum (answered ERR)")
    return "Request frame with a bad checksum"
  end
  local text_len = math.max(0, math.min(#unit.text, unit.offset + unit.length - unit.text_offset))
  local text_range = text_len > 0 and tvb(unit.text_offset, text_len) or tvb(unit.offset, unit.length)
  rt:add(f.request, text_range, printable(unit.text))
  local labels = {}
  for _, step in ipairs(unit.steps or {}) do
    local range = step.pos and tvb(unit.text_offset + step.pos - 1, step.len) or text_range
    if step.kind == "handshake" then
      local ht = rt:add(f.handshake, text_range, step.what)
      if step.mac then ht:add(f.con_mac, text_range, printable(step.mac)) end
      if step.name then ht:add(f.con_name, text_range, printable(step.name)) end
      labels[#labels + 1] = step.what
    elseif step.kind == "command" then
      local ct = rt:add(f.command, range, step.label)
      ct:add(f.mnemonic, range, printable(step.sent))
      ct:add(f.cmd_index, range, step.index)
      ct:add(f.pattern, range, COMMANDS[step.index])
      if COMMANDS[step.index]:find("[#$]") then ct:add(f.param, range, step.param) end
      labels[#labels + 1] = step.label
    elseif step.kind == "no_match" then
      rt:add(f.no_match, range, printable(step.text)):add_proto_expert_info(e.no_match)
      labels[#labels + 1] = '"' .. printable(step.text) .. '"?'
    elseif step.kind == "abort" then
      rt:add(f.abort, range, true)
      labels[#labels + 1] = "<abort>"
    end
  end
  rt:set_text("vBd request" .. (unit.frame and " frame" or "") .. ": " .. printable(unit.text))
  return (unit.frame and "Request frame " or "Request ") .. table.concat(labels, " ")
end

local function render_reply(tree, tvb, unit)
  if unit.stray then return nil end
  local rt = tree:add(vbd, tvb(unit.offset, unit.length))
  if unit.frame then add_frame(rt, tvb, unit) end
  local text_len = math.max(0, math.min(#unit.text, unit.offset + unit.length - unit.text_offset))
  local range = text_len > 0 and tvb(unit.text_offset, text_len) or tvb(unit.offset, unit.length)
  local t = printable(unit.text)
  if unit.bad then
    rt:set_text("vBd reply frame with a wrong checksum: " .. t)
    return "Reply frame with a bad checksum"
  end
  local summary
  if unit.event then
    rt:set_text("vBd event: " .. t)
    rt:add(f.event, range, t)
    summary = "Event " .. t
  else
    rt:set_text("vBd reply: " .. t)
    rt:add(f.reply, range, t)
    rt:add(f.reply_to, range, display_label(unit.expected.label)):set_generated()
    rt:add(f.request_in, range, unit.expected.frame):set_generated()
    if unit.error then rt:add(f.error, range, unit.error):add_proto_expert_info(e.error_reply, unit.meaning) end
    summary = "Reply " .. display_label(unit.expected.label) .. " -> " .. t
  end
  if unit.status then rt:add(f.player_status, range, unit.status):set_generated() end
  if unit.meaning and unit.meaning ~= "" then
    rt:add(f.meaning, range, unit.meaning):set_generated()
    rt:append_text(" (" .. unit.meaning .. ")")
    summary = summary .. " (" .. unit.meaning .. ")"
  end
  return summary
end

---------------------------------------------------------------------------
-- The dissector
---------------------------------------------------------------------------
-- On a later pass: the recorded unit whose bytes start at offset, looked for
-- from the one after the last found (wrapping round), or nil.
local function recorded_unit(record, key, tvb, offset)
  if revisit.key ~= key then revisit.key, revisit.next = key, 1 end
  local count, avail = #record, tvb:len() - offset
  for step = 0, count - 1 do
    local i = (revisit.next - 1 + step) % count + 1
    local unit = record[i]
    if unit.length <= avail and tvb(offset, unit.length):raw() == unit.bytes then
      revisit.next = i % count + 1
      return unit
    end
  end
  return nil
end

function vbd.dissector(tvb, pinfo, tree)
  local total = tvb:len()
  if total == 0 then return 0 end
  local is_request = pinfo.dst_port == pinfo.match_uint
  local key = pinfo.number .. (is_request and "c" or "s")
  local record = packets[key]
  local first_pass = not pinfo.visited or record == nil
  if first_pass and not record then
    record = {}
    packets[key] = record
  end
  local conv = first_pass and conversation(pinfo, is_request)

  pinfo.cols.protocol = "vBd"
  local parts = {}
  local offset = 0
  while offset < total do
    local unit
    if first_pass then
      if is_request then unit = take_request(tvb, offset, conv) else unit = take_reply(tvb, offset) end
      if unit then
        if is_request then analyse_request(unit, conv, pinfo.number) else analyse_reply(unit, conv) end
        unit.bytes = tvb(offset, unit.length):raw()
        unit.text_rel = unit.text_offset and unit.text_offset - offset
        record[#record + 1] = unit
      end
    else
      unit = recorded_unit(record, key, tvb, offset)
    end
    if not unit then
      -- Always one more segment, never an exact count: TCP keeps the count
      -- it was told as the PDU's end for later passes, and a frame's end is
      -- known only once its trailer has come.
      pinfo.desegment_offset, pinfo.desegment_len = offset, DESEGMENT_ONE_MORE_SEGMENT
      break
    end
    unit.offset = offset
    unit.text_offset = unit.text_rel and offset + unit.text_rel
    local s
    if is_request then s = render_request(tree, tvb, unit) else s = render_reply(tree, tvb, unit) end
    if s then parts[#parts + 1] = s end
    offset = offset + unit.length
  end
  if #parts > 0 then
    -- TCP fences what an earlier piece of this packet wrote (a reassembled
    -- request); the rest goes after it.
    local before = tostring(pinfo.cols.info)
    local continued = before:match("^Request") or before:match("^Reply") or before:match("^Event")
    pinfo.cols.info = (continued and "; " or "") .. table.concat(parts, "; ")
  end
  return total
end

local registered_port
local function register_port()
  local tcp = DissectorTable.get("tcp.port")
  if registered_port then tcp:remove(registered_port, vbd) end
  registered_port = vbd.prefs.port
  tcp:add(registered_port, vbd)
end

function vbd.prefs_changed() register_port() end

register_port()
