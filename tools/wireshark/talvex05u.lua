-- Wireshark/tshark dissector for the Talvex05u remote-procedure protocol over UDP.
--
-- Every datagram starts with a 16-byte header of little-endian 32-bit words:
--   type, procedure, reference number, then end position (16 bits) and total (16 bits);
-- block packets carry (size / 4 - 4) data words that end at the end position.
-- Chunks of long calls and returns (types 11 and 12) begin their data with a
-- four-word chunk header: transfer reference, chunk count, chunk index, byte count.
--
-- Load with:  tshark -X lua_script:tools/wireshark/talvex05u.lua ...
-- or copy into Wireshark's personal plugin folder (~/.local/lib/wireshark/plugins/).
-- Traffic is found on the ports of the "UDP ports" preference, on the ports named
-- with "Decode As" and, without any configuration, by a heuristic that checks the
-- type word and the size (on ports that no built-in dissector claims).

local proto = Proto("talvex05u", "Talvex05u RPC")

local TYPE_NAMES = {
    [1] = "RP_CALL", [2] = "RP_RETURN", [3] = "RP_PING", [4] = "RP_PING_ANSWER",
    [7] = "RP_BROADCAST", [8] = "RP_BROADCAST_RETURN", [9] = "RP_NEXT_PACKET",
    [11] = "RP_MULTI_CALL", [12] = "RP_MULTI_RETURN",
}
local CONTROL_TYPES = { [3] = true, [4] = true, [9] = true }
local CHUNK_TYPES = { [11] = true, [12] = true }
local MAX_DATA_WORDS = 350
local MAX_CHUNK_BYTES = 1384

local f = {
    type = ProtoField.int32("talvex05u.type", "Type", base.DEC, TYPE_NAMES),
    proc = ProtoField.int32("talvex05u.proc", "Procedure", base.DEC),
    ref = ProtoField.int32("talvex05u.ref", "Reference number", base.DEC),
    endpos = ProtoField.int16("talvex05u.end", "End position", base.DEC),
    total = ProtoField.int16("talvex05u.total", "Total words", base.DEC),
    start = ProtoField.int32("talvex05u.start", "Start position", base.DEC),
    words = ProtoField.uint32("talvex05u.words", "Data words", base.DEC),
    wanted = ProtoField.int16("talvex05u.next.position", "Wanted position", base.DEC),
    transfer = ProtoField.int32("talvex05u.chunk.transfer", "Transfer reference", base.DEC),
    ccount = ProtoField.int32("talvex05u.chunk.count", "Chunk count", base.DEC),
    cindex = ProtoField.int32("talvex05u.chunk.index", "Chunk index", base.DEC),
    cbytes = ProtoField.int32("talvex05u.chunk.bytes", "Byte count", base.DEC),
    cdata = ProtoField.bytes("talvex05u.chunk.data", "Chunk bytes"),
    word = ProtoField.int32("talvex05u.word", "Word", base.DEC),
    trailing = ProtoField.bytes("talvex05u.trailing", "Trailing bytes"),
}
proto.fields = {
    f.type, f.proc, f.ref, f.endpos, f.total, f.start, f.words, f.wanted,
    f.transfer, f.ccount, f.cindex, f.cbytes, f.cdata, f.word, f.trailing,
}

local ex = {
    short = ProtoExpert.new("talvex05u.short", "Datagram shorter than the 16-byte header",
                            expert.group.MALFORMED, expert.severity.WARN),
    total = ProtoExpert.new("talvex05u.total_below_end", "Total below the end position",
                            expert.group.MALFORMED, expert.severity.WARN),
    start = ProtoExpert.new("talvex05u.negative_start", "Data would start before position 0",
                            expert.group.MALFORMED, expert.severity.WARN),
    bytes = ProtoExpert.new("talvex05u.chunk.bytes_beyond", "Byte count beyond the data",
                            expert.group.MALFORMED, expert.severity.WARN),
    chunk = ProtoExpert.new("talvex05u.chunk.inconsistent", "Chunk index or count cannot be right",
                            expert.group.MALFORMED, expert.severity.WARN),
    unknown = ProtoExpert.new("talvex05u.unknown_type", "Unknown message type (ignored by receivers)",
                              expert.group.PROTOCOL, expert.severity.NOTE),
}
proto.experts = { ex.short, ex.total, ex.start, ex.bytes, ex.chunk, ex.unknown }

proto.prefs.ports = Pref.range("UDP ports", "", "UDP ports to decode as Talvex05u", 65535)
proto.prefs.max_words = Pref.uint("Words shown", 64, "Most data words listed one by one per packet")

local function type_name(t)
    return TYPE_NAMES[t] or ("type " .. t)
end

local function add_header(tree, buf, len)
    local t = buf(0, 4):le_int()
    tree:add_le(f.type, buf(0, 4))
    if TYPE_NAMES[t] == nil then tree:add_proto_expert_info(ex.unknown) end
    if len >= 8 then tree:add_le(f.proc, buf(4, 4)) end
    if len >= 12 then tree:add_le(f.ref, buf(8, 4)) end
    return t
end

local function add_chunk(tree, buf, data_offset, count)
    if count < 4 then return nil end
    local sub = tree:add(proto, buf(data_offset, 16), "Chunk header")
    sub:add_le(f.transfer, buf(data_offset, 4))
    sub:add_le(f.ccount, buf(data_offset + 4, 4))
    sub:add_le(f.cindex, buf(data_offset + 8, 4))
    local bytes_item = sub:add_le(f.cbytes, buf(data_offset + 12, 4))
    local chunks = buf(data_offset + 4, 4):le_int()
    local index = buf(data_offset + 8, 4):le_int()
    local nbytes = buf(data_offset + 12, 4):le_int()
    local available = 4 * (count - 4)
    if nbytes < 0 or nbytes > available or nbytes > MAX_CHUNK_BYTES or nbytes % 4 ~= 0 then
        bytes_item:add_proto_expert_info(ex.bytes)
    elseif nbytes > 0 then
        sub:add(f.cdata, buf(data_offset + 16, nbytes))
    end
    if chunks < 1 or index < 0 or index >= chunks then
        sub:add_proto_expert_info(ex.chunk)
    end
    return string.format(" chunk %d/%d transfer %d bytes %d", index, chunks,
                         buf(data_offset, 4):le_int(), nbytes)
end

local function add_words(tree, buf, data_offset, count, first_position)
    if count <= 0 then return end
    local shown = math.min(count, proto.prefs.max_words)
    local sub = tree:add(proto, buf(data_offset, 4 * count), string.format("Data (%d words)", count))
    for i = 0, shown - 1 do
        sub:add_le(f.word, buf(data_offset + 4 * i, 4)):prepend_text(string.format("[%d] ", first_position + i))
    end
    if shown < count then sub:append_text(string.format(", first %d listed", shown)) end
end

local function dissect(buf, pinfo, root)
    local len = buf:len()
    if len == 0 then return 0 end
    pinfo.cols.protocol = "Talvex05u"
    local tree = root:add(proto, buf(), "Talvex05u")
    if len < 16 then
        tree:add_proto_expert_info(ex.short)
        if len >= 4 then
            local t = add_header(tree, buf, len)
            pinfo.cols.info = type_name(t) .. string.format(" (short datagram, %d bytes)", len)
        else
            pinfo.cols.info = string.format("Short datagram (%d bytes)", len)
        end
        return len
    end

    local t = add_header(tree, buf, len)
    local proc = buf(4, 4):le_int()
    local ref = buf(8, 4):le_int()
    local count = math.floor(len / 4) - 4
    local info = string.format("%s proc %d ref %d", type_name(t), proc, ref)

    if t == 9 then
        tree:add_le(f.endpos, buf(12, 2))
        tree:add_le(f.wanted, buf(12, 2))
        tree:add_le(f.total, buf(14, 2))
        info = info .. string.format(" wants %d", buf(12, 2):le_int())
    else
        local endpos = buf(12, 2):le_int()
        local total = buf(14, 2):le_int()
        tree:add_le(f.endpos, buf(12, 2))
        local total_item = tree:add_le(f.total, buf(14, 2))
        local start = endpos - count
        local start_item = tree:add(f.start, start):set_generated()
        tree:add(f.words, count):set_generated()
        if not CONTROL_TYPES[t] then
            if total < endpos then total_item:add_proto_expert_info(ex.total) end
            if start < 0 then start_item:add_proto_expert_info(ex.start) end
            info = info .. string.format(" words %d-%d of %d", start, endpos, total)
            local chunk_info = nil
            if CHUNK_TYPES[t] then chunk_info = add_chunk(tree, buf, 16, count) end
            if chunk_info then info = info .. chunk_info end
            add_words(tree, buf, 16, count, start)
        end
    end
    if len % 4 ~= 0 then tree:add(f.trailing, buf(len - len % 4, len % 4)) end
    pinfo.cols.info = info
    return len
end

function proto.dissector(buf, pinfo, root)
    return dissect(buf, pinfo, root)
end

-- Recognises our datagrams on any port: a known type word, a size of whole words,
-- at most 350 data words, and positions that fit together.
local function looks_like_ours(buf)
    local len = buf:len()
    if len < 16 or len % 4 ~= 0 or len > 16 + 4 * MAX_DATA_WORDS then return false end
    local t = buf(0, 4):le_int()
    if TYPE_NAMES[t] == nil then return false end
    local count = len / 4 - 4
    if CONTROL_TYPES[t] then
        if len ~= 16 then return false end
        if t ~= 9 then
            return buf(4, 4):le_int() == 0 and buf(8, 4):le_int() == 0 and buf(12, 4):le_int() == 0
        end
        return buf(12, 2):le_int() >= 0
    end
    local endpos = buf(12, 2):le_int()
    local total = buf(14, 2):le_int()
    if endpos - count < 0 or total < endpos then return false end
    if CHUNK_TYPES[t] then
        if count < 4 or total ~= count or endpos ~= count then return false end
        local nbytes = buf(28, 4):le_int()
        return nbytes >= 0 and nbytes == 4 * (count - 4)
    end
    return true
end

local function heuristic(buf, pinfo, root)
    if not looks_like_ours(buf) then return false end
    dissect(buf, pinfo, root)
    pinfo.conversation = proto
    return true
end
proto:register_heuristic("udp", heuristic)
-- "Decode As" (tshark -d udp.port==P,talvex05u) then works on any port, also on one
-- that a built-in dissector claims (5000 and others), where the heuristic comes too late.
DissectorTable.get("udp.port"):add_for_decode_as(proto)

local registered_ports = ""
function proto.prefs_changed()
    local udp = DissectorTable.get("udp.port")
    if registered_ports ~= "" then udp:remove(registered_ports, proto) end
    registered_ports = tostring(proto.prefs.ports or "")
    if registered_ports ~= "" then udp:add(registered_ports, proto) end
end
