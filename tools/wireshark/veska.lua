-- Wireshark dissector for the veska collector protocol: the one-way TCP stream a client
-- library sends to veska-collector. Load it with
--   tshark -X lua_script:tools/wireshark/veska.lua -r capture.pcapng -V
-- or copy it into Wireshark's personal Lua plugins folder. It is registered for TCP port 5455;
-- any other port is decoded with "Decode As" (tshark: -d tcp.port==PORT,veska).
--
-- Every message becomes one "veska" tree item, whatever the TCP segmentation: the stream is
-- split by the 4-byte headers with dissect_tcp_pdus, which reassembles messages across
-- segments and hands over several messages found in one segment one by one. A malformed
-- message gets expert information (error, or warning for suspicious values) and the
-- dissector moves on to the next message, which the header's payload length locates.

local veska = Proto("veska", "Veska Collector Protocol")

local HEADER_SIZE = 4
local TYPE_REGISTER, TYPE_EVENT, TYPE_HEARTBEAT = 0, 1, 2

local message_types = { [0] = "register", [1] = "event", [2] = "heartbeat/statistics" }

local event_names = {
  [0] = "STARTED", [1] = "HERE", [2] = "INBOUND", [3] = "OUTBOUND", [4] = "FINISHED",
  [5] = "STARTED_INBOUND", [6] = "OUTBOUND_FINISHED", [7] = "INBOUND_FINISHED",
  [8] = "COMMIT", [9] = "ROLLBACK",
}

local caller_names = {
  [0] = "ANY", "HTTP", "SOAP", "REST", "GRPC", "RMI", "CORBA", "JMS", "MQ", "AMQP", "KAFKA",
  "JDBC", "ODBC", "SQL", "CICS", "IMS", "TUXEDO", "SAP", "LDAP", "SMTP", "FTP", "BATCH",
  "SCHED", "NATIVE",
}
for value = 200, 255 do caller_names[value] = "USER" end

local f = {
  -- Header
  msg_type = ProtoField.uint8("veska.type", "Message type", base.DEC, message_types),
  version = ProtoField.uint8("veska.version", "Message version", base.DEC),
  length = ProtoField.uint16("veska.length", "Payload length", base.DEC),
  kind = ProtoField.string("veska.kind", "Message kind"),
  -- Register
  register_field = ProtoField.uint16("veska.register.field", "Register field", base.DEC),
  -- Statistics and heartbeat
  events_dropped = ProtoField.uint32("veska.statistics.events_dropped", "Events dropped",
                                     base.DEC),
  connections_made = ProtoField.uint16("veska.statistics.connections_made",
                                       "Connections made", base.DEC),
  heartbeat_seconds = ProtoField.uint32("veska.heartbeat.seconds", "Heartbeat seconds",
                                        base.DEC),
  heartbeat_field = ProtoField.uint16("veska.heartbeat.field", "Heartbeat field", base.DEC),
  -- Event
  event_word = ProtoField.uint16("veska.event.word", "Event word", base.HEX),
  event_type = ProtoField.uint16("veska.event.type", "Event type", base.DEC, event_names,
                                 0x7FFF),
  blocked = ProtoField.bool("veska.event.blocked", "Blocked", 16, nil, 0x8000),
  presence = ProtoField.uint16("veska.event.presence", "Presence flags", base.HEX),
  has_instance = ProtoField.bool("veska.event.presence.instance", "Instance section", 16, nil,
                                 0x0001),
  has_horizontal = ProtoField.bool("veska.event.presence.horizontal",
                                   "Horizontal association", 16, nil, 0x0002),
  has_vertical = ProtoField.bool("veska.event.presence.vertical", "Vertical association", 16,
                                 nil, 0x0004),
  has_hcontext = ProtoField.bool("veska.event.presence.horizontal_context",
                                 "Horizontal context", 16, nil, 0x0008),
  has_vcontext = ProtoField.bool("veska.event.presence.vertical_context", "Vertical context",
                                 16, nil, 0x0010),
  reserved = ProtoField.uint16("veska.event.presence.reserved", "Reserved bits", base.HEX, nil,
                               0xFFE0),
  seconds = ProtoField.uint32("veska.event.seconds", "Timestamp seconds", base.DEC),
  microseconds = ProtoField.uint32("veska.event.microseconds", "Timestamp microseconds",
                                   base.DEC),
  time = ProtoField.absolute_time("veska.event.time", "Time", base.UTC),
  -- Sections
  instance = ProtoField.none("veska.instance", "Instance section"),
  tid_length = ProtoField.uint16("veska.instance.transaction_id_length",
                                 "Transaction id length", base.DEC),
  tid = ProtoField.string("veska.instance.transaction_id", "Transaction id"),
  horizontal = ProtoField.none("veska.horizontal", "Horizontal association"),
  vertical = ProtoField.none("veska.vertical", "Vertical association"),
  caller_type = ProtoField.uint8("veska.association.caller_type", "Caller type", base.DEC,
                                 caller_names),
  link_length = ProtoField.uint8("veska.association.link_id_length", "Link id length",
                                 base.DEC),
  link_id = ProtoField.string("veska.association.link_id", "Link id"),
  -- Values lists
  list = ProtoField.none("veska.list", "List"),
  list_count = ProtoField.uint8("veska.list.count", "Item count", base.DEC),
  item = ProtoField.none("veska.item", "Item"),
  name_length = ProtoField.uint8("veska.item.name_length", "Name length", base.DEC),
  value_length = ProtoField.uint16("veska.item.value_length", "Value length", base.DEC),
  name = ProtoField.string("veska.item.name", "Name"),
  value = ProtoField.string("veska.item.value", "Value"),
  value_bytes = ProtoField.bytes("veska.item.value_bytes", "Value (bytes)"),
}
veska.fields = f

local e = {
  malformed = ProtoExpert.new("veska.malformed", "Malformed veska message",
                              expert.group.MALFORMED, expert.severity.ERROR),
  unknown = ProtoExpert.new("veska.unknown", "Unknown veska message type or version",
                            expert.group.UNDECODED, expert.severity.ERROR),
  suspicious = ProtoExpert.new("veska.suspicious", "Unexpected value in a veska message",
                               expert.group.PROTOCOL, expert.severity.WARN),
}
veska.experts = e

-- Reads a message payload and stops at the first fault: every read checks the room left, and
-- a failed check leaves expert information and makes the section readers return false.
local Reader = {}
Reader.__index = Reader

local function new_reader(tvb, tree, offset, stop)
  return setmetatable({ tvb = tvb, tree = tree, pos = offset, stop = stop }, Reader)
end

function Reader:left() return self.stop - self.pos end

-- Room check for n bytes of `what`; on failure flags the rest of the payload.
function Reader:need(n, what, tree)
  if n <= self:left() then return true end
  ;(tree or self.tree):add_proto_expert_info(e.malformed, string.format(
      "%s runs past the end of the payload (needs %d bytes, %d left)", what, n, self:left()))
  return false
end

function Reader:take(n)
  local range = self.tvb(self.pos, n)
  self.pos = self.pos + n
  return range
end

local function printable(range)
  if range:len() == 0 then return true end
  local bytes = range:bytes()
  for i = 0, bytes:len() - 1 do
    local b = bytes:get_index(i)
    if b < 0x20 or b > 0x7E then return false end
  end
  return true
end

local function text_of(range)
  if range:len() == 0 then return "" end
  return range:raw()
end

-- Adds a string field over range; an empty range is shown as an empty string.
local function add_text(tree, field, tvb, range, at)
  if range:len() == 0 then
    return tree:add(field, tvb(at, 0), "")
  end
  return tree:add(field, range)
end

-- Values list: count byte, 3-byte descriptors (name length, value length), then each item's
-- name and value bytes.
function Reader:list(parent, label)
  local start = self.pos
  local tree = parent:add(f.list, self.tvb(start, math.max(self:left(), 0)))
  tree:set_text(label)
  if not self:need(1, label .. " item count", tree) then return false end
  local count_range = self:take(1)
  local count = count_range:uint()
  tree:add(f.list_count, count_range)
  if 3 * count > self:left() then
    tree:add_proto_expert_info(e.malformed, string.format(
        "%s: descriptors of %d items run past the end of the payload (%d bytes left)",
        label, count, self:left()))
    return false
  end
  local descriptors = {}
  for i = 1, count do
    descriptors[i] = { name = self:take(1), value = self:take(2) }
  end
  local room = self:left()
  local needed = 0
  for i = 1, count do
    local d = descriptors[i]
    needed = needed + d.name:uint() + d.value:uint()
    if needed > room then
      local item = tree:add(f.item, self.tvb(d.name:offset(), 3))
      item:set_text(string.format("Item %d", i - 1))
      item:add(f.name_length, d.name)
      item:add(f.value_length, d.value)
      item:add_proto_expert_info(e.malformed, string.format(
          "%s: item %d runs past the end of the payload", label, i - 1))
      return false
    end
  end
  for i = 1, count do
    local d = descriptors[i]
    local name_at = self.pos
    local name = self:take(d.name:uint())
    local value_at = self.pos
    local value = self:take(d.value:uint())
    local item = tree:add(f.item, self.tvb(name_at, self.pos - name_at))
    item:add(f.name_length, d.name)
    item:add(f.value_length, d.value)
    add_text(item, f.name, self.tvb, name, name_at)
    local shown
    if printable(value) then
      add_text(item, f.value, self.tvb, value, value_at)
      shown = text_of(value)
    else
      item:add(f.value_bytes, value)
      shown = "0x" .. tostring(value:bytes())
    end
    item:set_text(string.format("Item %d: %s = %s", i - 1, text_of(name), shown))
  end
  tree:set_len(self.pos - start)
  tree:append_text(string.format(" (%d item%s)", count, count == 1 and "" or "s"))
  return true
end

function Reader:association(parent, field, label)
  local start = self.pos
  local tree = parent:add(field, self.tvb(start, math.max(self:left(), 0)))
  if not self:need(2, label, tree) then return false end
  local caller = self:take(1)
  tree:add(f.caller_type, caller)
  local length = self:take(1)
  tree:add(f.link_length, length)
  if not self:need(length:uint(), label .. " link id", tree) then return false end
  local link_at = self.pos
  local link = self:take(length:uint())
  add_text(tree, f.link_id, self.tvb, link, link_at)
  local name = caller_names[caller:uint()] or "unassigned"
  tree:append_text(string.format(": %s (%d), link id \"%s\"", name, caller:uint(),
                                 text_of(link)))
  if not self:list(tree, "Stitch ids") then return false end
  tree:set_len(self.pos - start)
  return true
end

local function dissect_event(tvb, root, r)
  local word = r:take(2)
  local word_item = root:add(f.event_word, word)
  word_item:add(f.event_type, word)
  word_item:add(f.blocked, word)
  local type = word:uint() % 0x8000
  local blocked = word:uint() >= 0x8000
  local name = event_names[type]
  if name == nil then
    word_item:add_proto_expert_info(e.suspicious,
                                    string.format("Unknown event type %d (above 9)", type))
    name = string.format("type %d", type)
  end
  root:append_text(": " .. name .. (blocked and " (blocked)" or ""))

  local flags_range = r:take(2)
  local flags = flags_range:uint()
  local flags_item = root:add(f.presence, flags_range)
  for _, bit in ipairs({ f.has_instance, f.has_horizontal, f.has_vertical, f.has_hcontext,
                         f.has_vcontext, f.reserved }) do
    flags_item:add(bit, flags_range)
  end
  if flags >= 0x20 then
    flags_item:add_proto_expert_info(e.malformed,
                                     string.format("Reserved presence bits set: 0x%04X", flags))
    return
  end
  local seconds = r:take(4)
  local micros = r:take(4)
  root:add(f.seconds, seconds)
  root:add(f.microseconds, micros)
  local time = root:add(f.time, tvb(seconds:offset(), 8),
                        NSTime(seconds:uint(), (micros:uint() % 1000000) * 1000))
  time:set_generated()

  local function has(bit) return math.floor(flags / bit) % 2 == 1 end
  if has(0x01) then
    local start = r.pos
    local tree = root:add(f.instance, tvb(start, math.max(r:left(), 0)))
    if not r:need(2, "Instance section", tree) then return end
    local length = r:take(2)
    tree:add(f.tid_length, length)
    if not r:need(length:uint(), "Transaction id", tree) then return end
    local tid_at = r.pos
    local tid = r:take(length:uint())
    add_text(tree, f.tid, tvb, tid, tid_at)
    tree:append_text(string.format(": transaction id \"%s\"", text_of(tid)))
    root:append_text(string.format(", transaction id \"%s\"", text_of(tid)))
    if not r:list(tree, "Transaction data") then return end
    tree:set_len(r.pos - start)
  end
  if has(0x02) and not r:association(root, f.horizontal, "Horizontal association") then return end
  if has(0x04) and not r:association(root, f.vertical, "Vertical association") then return end
  if has(0x08) and not r:list(root, "Horizontal context") then return end
  if has(0x10) and not r:list(root, "Vertical context") then return end
  if r:left() > 0 then
    root:add_proto_expert_info(e.malformed, string.format(
        "%d bytes left after the event's sections: payload length does not match the content",
        r:left()))
  end
end

local function expect_payload(length_item, payload, expected, kind)
  if payload == expected then return true end
  length_item:add_proto_expert_info(e.malformed, string.format(
      "%s payload length %d, expected %d", kind, payload, expected))
  return false
end

-- One whole message: tvb holds exactly its header and payload.
local function dissect_message(tvb, pinfo, tree)
  local size = tvb:len()
  local root = tree:add(veska, tvb())
  local msg_type = tvb(0, 1):uint()
  local version = tvb(1, 1):uint()
  local payload = tvb(2, 2):uint()
  root:add(f.msg_type, tvb(0, 1))
  root:add(f.version, tvb(1, 1))
  local length_item = root:add(f.length, tvb(2, 2))
  local r = new_reader(tvb, root, HEADER_SIZE, size)

  local kind
  if msg_type == TYPE_REGISTER and version == 0 then
    kind = "register"
  elseif msg_type == TYPE_EVENT and version == 0 then
    kind = "event"
  elseif msg_type == TYPE_HEARTBEAT and version == 0 then
    kind = "statistics"
  elseif msg_type == TYPE_HEARTBEAT and version == 1 then
    kind = "heartbeat"
  end
  if kind == nil then
    kind = string.format("unknown (type %d, version %d)", msg_type, version)
    root:add_proto_expert_info(e.unknown, string.format(
        "Unknown message type %d version %d; %d payload bytes skipped", msg_type, version,
        payload))
  end
  root:add(f.kind, tvb(0, 0), kind):set_generated()
  root:append_text(", " .. kind)

  if kind == "register" then
    if expect_payload(length_item, payload, 2, "Register") then
      local field = r:take(2)
      local item = root:add(f.register_field, field)
      if field:uint() ~= 0 then
        item:add_proto_expert_info(e.suspicious, "Register field is not zero")
      end
    end
  elseif kind == "statistics" then
    if expect_payload(length_item, payload, 6, "Statistics") then
      local dropped = r:take(4)
      local made = r:take(2)
      root:add(f.events_dropped, dropped)
      root:add(f.connections_made, made)
      root:append_text(string.format(": %d events dropped, %d connections made",
                                     dropped:uint(), made:uint()))
    end
  elseif kind == "heartbeat" then
    if expect_payload(length_item, payload, 6, "Heartbeat") then
      local seconds = r:take(4)
      root:add(f.heartbeat_seconds, seconds)
      local field = r:take(2)
      local item = root:add(f.heartbeat_field, field)
      if field:uint() ~= 0 then
        item:add_proto_expert_info(e.suspicious, "Heartbeat trailing field is not zero")
      end
      root:append_text(string.format(": %d s", seconds:uint()))
    end
  elseif kind == "event" then
    if payload < 12 then
      length_item:add_proto_expert_info(e.malformed,
                                        string.format("Event payload length %d, below 12", payload))
    else
      dissect_event(tvb, root, r)
    end
  end

  local summary = kind
  if kind == "event" and payload >= 2 then
    summary = event_names[tvb(4, 2):uint() % 0x8000] or "event"
  end
  if pinfo.private.veska_summary then
    pinfo.cols.info:append(", " .. summary)
  else
    pinfo.cols.info:set(summary)
    pinfo.private.veska_summary = "1"
  end
  return size
end

local function message_length(tvb, pinfo, offset)
  return HEADER_SIZE + tvb(offset + 2, 2):uint()
end

function veska.dissector(tvb, pinfo, tree)
  pinfo.cols.protocol = "veska"
  return dissect_tcp_pdus(tvb, tree, HEADER_SIZE, message_length, dissect_message, true)
end

DissectorTable.get("tcp.port"):add(5455, veska)
