-- Wireshark dissector for the control protocol of the microphone array
-- appliance (orvo-udpd, UDP port 49494).
--
-- A request is one line of ASCII text in one datagram: a keyword and its
-- arguments separated by single spaces, ended by a carriage return. The
-- daemon answers each request with "ACK <keyword> <values>\r", or with
-- "NACK " followed by the request exactly as it was received.
--
-- Load it with  tshark -X lua_script:orvo.lua ...  or copy it into the
-- personal plugins folder (~/.local/lib/wireshark/plugins/).
--
-- Fields: orvo.request, orvo.reply ("ACK" or "NACK"), orvo.keyword,
-- orvo.args, orvo.arg (one per argument), orvo.values (of an ACK) and
-- orvo.echo (the request a NACK carries back, itself decoded below it).

local PORT = 49494
local MAX_TOKENS = 10 -- the keyword and nine arguments; the last runs to the end

local KEYWORDS = {}
for keyword in ([[ID FU VERSION DEFAULTS STS GTS STSB GTSB SRGB GRGB APT TRACKING
    EQ NULL NULLMASK ACTNULCOL NOISERED NOISESUP DSPSTATUS MICTEST IMPRESS]]):gmatch("%S+") do
  KEYWORDS[keyword] = true
end

local orvo = Proto("orvo", "Microphone array control protocol")

local fields = {
  request = ProtoField.string("orvo.request", "Request"),
  reply = ProtoField.string("orvo.reply", "Reply"),
  keyword = ProtoField.string("orvo.keyword", "Keyword"),
  args = ProtoField.string("orvo.args", "Arguments"),
  arg = ProtoField.string("orvo.arg", "Argument"),
  values = ProtoField.string("orvo.values", "Values"),
  echo = ProtoField.string("orvo.echo", "Echoed request"),
}
orvo.fields = fields

local experts = {
  no_cr = ProtoExpert.new("orvo.no_cr", "Request does not end in a carriage return",
    expert.group.MALFORMED, expert.severity.WARN),
  spacing = ProtoExpert.new("orvo.spacing", "Two spaces in a row",
    expert.group.MALFORMED, expert.severity.WARN),
  unknown = ProtoExpert.new("orvo.unknown", "Unknown keyword",
    expert.group.PROTOCOL, expert.severity.WARN),
  nack = ProtoExpert.new("orvo.nack", "Request refused",
    expert.group.RESPONSE_CODE, expert.severity.NOTE),
  not_reply = ProtoExpert.new("orvo.not_reply", "Reply is neither ACK nor NACK",
    expert.group.MALFORMED, expert.severity.ERROR),
}
orvo.experts = experts

-- Control characters shown as escapes, for the Info column.
local function printable(text)
  return (text:gsub("[%c]", function(c)
    if c == "\r" then return "\\r" end
    if c == "\n" then return "\\n" end
    return string.format("\\x%02x", c:byte())
  end))
end

-- A request as the daemon reads it: the last byte of the datagram must be a
-- CR, one space before it is dropped, and the text up to the first NUL is
-- split at single spaces into at most MAX_TOKENS tokens (each {position in
-- the text, token}).
local function parse_request(raw)
  local request = { tokens = {}, no_cr = false, spacing = false }
  local line = raw
  if line:sub(-1) == "\r" then
    line = line:sub(1, -2)
    if line:sub(-1) == " " then
      line = line:sub(1, -2)
      if line:sub(-1) == " " then request.spacing = true end
    end
  else
    request.no_cr = true
  end
  local nul = line:find("\0", 1, true)
  if nul then line = line:sub(1, nul - 1) end
  request.line = line
  local tokens = request.tokens
  local start = 1
  while true do
    local space = #tokens < MAX_TOKENS - 1 and line:find(" ", start, true)
    if not space then
      tokens[#tokens + 1] = { start, line:sub(start) }
      return request
    end
    tokens[#tokens + 1] = { start, line:sub(start, space - 1) }
    if line:sub(space + 1, space + 1) == " " then request.spacing = true end
    start = space + 1
  end
end

-- The Info column's view of a request.
local function summary(request)
  return printable(request.line) .. (request.no_cr and " [no CR]" or "")
end

-- Adds a field for `length` bytes at `offset`, or without bytes when the
-- range lies outside the packet (an empty datagram).
local function add_field(tree, tvb, field, offset, length, value)
  if offset + length <= tvb:len() and (length > 0 or offset < tvb:len()) then
    return tree:add(field, tvb(offset, length), value)
  end
  return tree:add(field, value)
end

-- The request found at `offset` (the whole datagram, or the echo of a NACK)
-- under `field`, its tokens below it.
local function add_request(tvb, tree, field, offset)
  local request = parse_request(tvb:raw(offset))
  local item = add_field(tree, tvb, field, offset, tvb:len() - offset, request.line)
  if request.no_cr then item:add_proto_expert_info(experts.no_cr) end
  if request.spacing then item:add_proto_expert_info(experts.spacing) end
  local tokens = request.tokens
  local keyword = tokens[1][2]
  local keyword_item = add_field(item, tvb, fields.keyword, offset, #keyword, keyword)
  if not KEYWORDS[keyword] then keyword_item:add_proto_expert_info(experts.unknown) end
  if #tokens > 1 then
    local first = tokens[2][1]
    local args = request.line:sub(first)
    local args_item = add_field(item, tvb, fields.args, offset + first - 1, #args, args)
    for i = 2, #tokens do
      local position, token = tokens[i][1], tokens[i][2]
      add_field(args_item, tvb, fields.arg, offset + position - 1, #token, token)
    end
  end
  return request
end

function orvo.dissector(tvb, pinfo, root)
  local length = tvb:len()
  local raw = tvb:raw()
  pinfo.cols.protocol = "ORVO"
  local tree = root:add(orvo, tvb())

  -- Replies come from the daemon's port; between two daemons, by their text.
  local is_reply = pinfo.src_port == PORT
  if is_reply and pinfo.dst_port == PORT then is_reply = raw:match("^N?ACK ") ~= nil end

  if not is_reply then
    local request = add_request(tvb, tree, fields.request, 0)
    pinfo.cols.info = "Request: " .. summary(request)
  elseif raw:sub(1, 4) == "ACK " then
    add_field(tree, tvb, fields.reply, 0, 3, "ACK")
    local body = raw:sub(5)
    local nul = body:find("\0", 1, true)
    if nul then body = body:sub(1, nul - 1) end
    body = body:gsub("\r.*$", "")
    local keyword = body:match("^[^ ]*")
    add_field(tree, tvb, fields.keyword, 4, #keyword, keyword)
    if #body > #keyword + 1 then
      local values = body:sub(#keyword + 2)
      add_field(tree, tvb, fields.values, 5 + #keyword, #values, values)
    end
    pinfo.cols.info = "ACK " .. printable(body)
  elseif raw:sub(1, 5) == "NACK " then
    local item = add_field(tree, tvb, fields.reply, 0, 4, "NACK")
    item:add_proto_expert_info(experts.nack)
    local request = add_request(tvb, tree, fields.echo, 5)
    pinfo.cols.info = "NACK " .. summary(request)
  else
    tree:add_proto_expert_info(experts.not_reply)
    pinfo.cols.info = "Reply: " .. printable(raw)
  end
  return length
end

DissectorTable.get("udp.port"):add(PORT, orvo)
