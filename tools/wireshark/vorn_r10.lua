-- Wireshark dissector for the vorn_r10 market-data feed (CFFEX level 2) and for the record
-- frames the card's firmware delivers in hardware mode.
--
-- Load it for one run:   tshark -X lua_script:tools/wireshark/vorn_r10.lua -r capture.pcap
-- or install it:         cp tools/wireshark/vorn_r10.lua ~/.local/lib/wireshark/plugins/
--
-- Feed packets (UDP, ports from the preferences, or recognised heuristically: the heuristic
-- "vorn_udp", switched on and off in Analyze > Enabled Protocols or with tshark's
-- --enable-heuristic/--disable-heuristic): the 20-byte
-- packet header, then each field with its id, length and members decoded from their
-- varints. Prices travel as tick counts; with the day's snapshot file set in the
-- preferences the instrument's code and the real prices are shown too. The data of an
-- encrypted field is shown as bytes: decrypting it would mean running the day's code
-- segment, which a dissector must never do. Packets cut inside a field, fields longer than
-- their packet and sequence jumps are reported as expert infos.
--
-- Record frames (a capture of receive channel 1 in hardware mode): a 4-byte prefix, then one
-- 276-byte little-endian record. A capture of a user link type (DLT 147 to 162) is bound to
-- the "vorn_record" dissector through Wireshark's DLT_USER table (Preferences > Protocols >
-- DLT_USER, or tshark -o 'uat:user_dlts:"User 0 (DLT=147)","vorn_record","0","","0",""').

local vorn = Proto("vorn", "Vorn R10 CFFEX market-data feed")
local vrec = Proto("vorn_record", "Vorn R10 firmware record")

---------------------------------------------------------------------------------------------
-- Field ids and the members of the nine market-data fields

local FIELD_NAMES = {
    [1] = "depth_market_data", [2] = "multi_address", [3] = "user", [4] = "user_right",
    [5] = "user_sub_product", [6] = "login_log", [7] = "user_msg", [8] = "ins_price_encode_info",
    [9] = "multi_channel_status", [10] = "rsp_info", [11] = "req_user_login",
    [12] = "rsp_user_login", [13] = "req_sub_md", [14] = "rsp_sub_md",
    [15] = "rsp_encrypt_code_segment", [16] = "req_check_encrypt", [17] = "end_snap_md",
    [18] = "req_retran_md", [19] = "mchannel_report_config",
    [0x4432] = "vint_market_data_static", [0x4433] = "vint_market_data_last_match",
    [0x4434] = "vint_market_data_best", [0x4435] = "vint_market_data_bid23",
    [0x4436] = "vint_market_data_ask23", [0x4437] = "vint_market_data_bid45",
    [0x4438] = "vint_market_data_ask45", [0x4439] = "vint_market_data_update_time",
    [0x443A] = "vint_market_data_real_price_banding",
}

local STATIC, UPDATE_TIME = 0x4432, 0x4439

-- Members in wire order: name, wire form ("v" ZigZag varint, "d" big-endian double), and
-- whether the member is a price in ticks.
local MEMBERS = {
    [0x4432] = { { "open_price", "v", true }, { "high_price", "v", true }, { "low_price", "v", true },
                 { "close_price", "v", true }, { "upper_limit_price", "v", true },
                 { "lower_limit_price", "v", true }, { "settlement_price", "d" }, { "curr_delta", "d" } },
    [0x4433] = { { "last_price", "v", true }, { "volume", "v" }, { "turn_over", "d" }, { "open_interest", "v" } },
    [0x4434] = { { "bid1_price", "v", true }, { "bid1_volume", "v" }, { "ask1_price", "v", true }, { "ask1_volume", "v" } },
    [0x4435] = { { "bid2_price", "v", true }, { "bid2_volume", "v" }, { "bid3_price", "v", true }, { "bid3_volume", "v" } },
    [0x4436] = { { "ask2_price", "v", true }, { "ask2_volume", "v" }, { "ask3_price", "v", true }, { "ask3_volume", "v" } },
    [0x4437] = { { "bid4_price", "v", true }, { "bid4_volume", "v" }, { "bid5_price", "v", true }, { "bid5_volume", "v" } },
    [0x4438] = { { "ask4_price", "v", true }, { "ask4_volume", "v" }, { "ask5_price", "v", true }, { "ask5_volume", "v" } },
    [0x4439] = { { "ins_int_id", "v" }, { "update_time", "v" }, { "update_msec", "v" } },
    [0x443A] = { { "banding_upper_price", "v", true }, { "banding_lower_price", "v", true } },
}

-- The data of these fields is encrypted when the packet's encrypt flag is set; the static
-- and update-time fields always travel plain.
local function encryptable(id)
    return id >= 0x4432 and id <= 0x443A and id ~= STATIC and id ~= UPDATE_TIME
end

-- The tick count that stands for "no price".
local NO_PRICE_TICKS = 4294967295

---------------------------------------------------------------------------------------------
-- Protocol fields

local pf = {
    packet = ProtoField.none("vorn.packet", "Packet"),
    ver = ProtoField.uint8("vorn.ver", "Header version"),
    ptype = ProtoField.uint8("vorn.type", "Packet type"),
    topicid = ProtoField.uint16("vorn.topicid", "Topic id"),
    trans_id = ProtoField.uint32("vorn.trans_id", "Transaction id"),
    seqno = ProtoField.uint32("vorn.seqno", "Sequence number"),
    numfields = ProtoField.uint16("vorn.numfields", "Declared field count"),
    bodylen = ProtoField.uint16("vorn.bodylen", "Body length"),
    encrypt = ProtoField.uint32("vorn.encrypt", "Encrypt word", base.HEX),
    encrypted = ProtoField.bool("vorn.encrypted", "Encrypted", 32, nil, 0x00010000),
    field_count = ProtoField.uint16("vorn.field_count", "Fields found"),
    field = ProtoField.none("vorn.field", "Field"),
    field_id = ProtoField.uint16("vorn.field.id", "Field id", base.HEX, FIELD_NAMES),
    field_len = ProtoField.uint16("vorn.field.len", "Field length"),
    field_encrypted = ProtoField.bool("vorn.field.encrypted", "Encrypted data"),
    field_data = ProtoField.bytes("vorn.field.data", "Data"),
    instrument = ProtoField.string("vorn.instrument", "Instrument"),
    rest = ProtoField.bytes("vorn.unparsed", "Not parsed"),
}
-- One filter field per member: vorn.<member> (ticks, counts and times as they travel) and,
-- for prices when the snapshot is known, vorn.<member>.real.
local member_pf, real_pf = {}, {}
for _, members in pairs(MEMBERS) do
    for _, m in ipairs(members) do
        local name, wire, price = m[1], m[2], m[3]
        if wire == "d" then
            member_pf[name] = ProtoField.double("vorn." .. name, name)
        else
            member_pf[name] = ProtoField.int64("vorn." .. name, name .. (price and " (ticks)" or ""))
        end
        if price then real_pf[name] = ProtoField.double("vorn." .. name .. ".real", name) end
    end
end

local all = {}
for _, f in pairs(pf) do all[#all + 1] = f end
for _, f in pairs(member_pf) do all[#all + 1] = f end
for _, f in pairs(real_pf) do all[#all + 1] = f end
vorn.fields = all

local ef = {
    cut_header = ProtoExpert.new("vorn.cut.header", "Packet cut inside the packet header",
        expert.group.MALFORMED, expert.severity.ERROR),
    cut_field = ProtoExpert.new("vorn.cut.field", "Packet cut inside a field",
        expert.group.MALFORMED, expert.severity.ERROR),
    overrun = ProtoExpert.new("vorn.field.overrun", "Field longer than its packet",
        expert.group.MALFORMED, expert.severity.ERROR),
    short_body = ProtoExpert.new("vorn.short_body", "Payload ends before the packet's declared body",
        expert.group.MALFORMED, expert.severity.WARN),
    trailing = ProtoExpert.new("vorn.trailing", "Bytes after the last packet are not a packet",
        expert.group.MALFORMED, expert.severity.ERROR),
    no_data = ProtoExpert.new("vorn.field.no_data", "Field header ends its packet: its data is never taken",
        expert.group.PROTOCOL, expert.severity.WARN),
    member_cut = ProtoExpert.new("vorn.member.cut", "Member cut short by the field's end: decodes as 0",
        expert.group.MALFORMED, expert.severity.WARN),
    encrypted = ProtoExpert.new("vorn.field.encrypted_data", "Encrypted field: data shown as bytes",
        expert.group.DECRYPTION, expert.severity.CHAT),
    unknown_field = ProtoExpert.new("vorn.field.unknown", "Field id without a decoder here",
        expert.group.UNDECODED, expert.severity.NOTE),
    seq_jump = ProtoExpert.new("vorn.seq.jump", "Sequence jump",
        expert.group.SEQUENCE, expert.severity.NOTE),
    seq_back = ProtoExpert.new("vorn.seq.back", "Sequence number repeated or going back",
        expert.group.SEQUENCE, expert.severity.NOTE),
    no_instrument = ProtoExpert.new("vorn.instrument.unknown", "Instrument not in the snapshot",
        expert.group.PROTOCOL, expert.severity.NOTE),
    snapshot = ProtoExpert.new("vorn.snapshot.unreadable", "Snapshot file of the preferences not read",
        expert.group.COMMENTS_GROUP, expert.severity.WARN),
}
vorn.experts = { ef.cut_header, ef.cut_field, ef.overrun, ef.short_body, ef.trailing, ef.no_data,
                 ef.member_cut, ef.encrypted, ef.unknown_field, ef.seq_jump, ef.seq_back,
                 ef.no_instrument, ef.snapshot }

---------------------------------------------------------------------------------------------
-- Preferences

vorn.prefs.ports = Pref.range("UDP ports", "30001", "UDP destination ports of the feed", 65535)
vorn.prefs.snapshot = Pref.string("Snapshot file", "",
    "The day's snapshot file: its price encodings give instrument codes and real prices")

---------------------------------------------------------------------------------------------
-- Varints and fixed-width values

-- One ZigZag base-128 varint from string `s` at 1-based `pos`, with bytes up to `last`.
-- Returns the value (a Lua number when exact, else an Int64) and the bytes taken; a
-- number cut short by `last` gives 0 and 0 bytes.
local function varint(s, pos, last)
    local n = 0
    while true do
        if pos + n > last then return 0, 0 end
        local b = s:byte(pos + n)
        n = n + 1
        if b < 0x80 or n == 10 then break end
    end
    if n <= 7 then -- at most 49 bits: exact in a double
        local raw, scale = 0, 1
        for i = 0, n - 1 do
            raw = raw + (s:byte(pos + i) % 0x80) * scale
            scale = scale * 0x80
        end
        if raw % 2 == 0 then return raw / 2, n end
        return -(raw + 1) / 2, n
    end
    local raw = UInt64(0)
    for i = 0, n - 1 do
        local group = s:byte(pos + i) % 0x80
        if i == 9 then group = group % 2 end -- the tenth byte gives bit 63 only
        raw = raw:bor(UInt64(group):lshift(7 * i))
    end
    local half = raw:rshift(1)
    if raw:band(1) == UInt64(1) then half = half:bnot() end
    return Int64(half:lower(), half:higher()), n
end

-- A little-endian double of a string (the snapshot file), through Wireshark's Struct library.
local function double_le(s, pos)
    return (Struct.unpack("<d", s, pos))
end

local function int32_le(s, pos)
    local b1, b2, b3, b4 = s:byte(pos, pos + 3)
    local v = ((b4 * 256 + b3) * 256 + b2) * 256 + b1
    if v >= 0x80000000 then v = v - 0x100000000 end
    return v
end

local function cstring(s, pos, width)
    local text = s:sub(pos, pos + width - 1)
    local nul = text:find("\0", 1, true)
    if nul then text = text:sub(1, nul - 1) end
    return text
end

local function time_text(seconds)
    if type(seconds) ~= "number" or seconds < 0 or seconds > 86399 then return nil end
    return string.format("%02d:%02d:%02d", math.floor(seconds / 3600), math.floor(seconds / 60) % 60,
        seconds % 60)
end

---------------------------------------------------------------------------------------------
-- The snapshot's price encodings (optional)

-- Instrument key -> { code, base, tick }; loaded when the preference names a file.
local encodings, encodings_path, encodings_error = {}, nil, nil

local function load_snapshot(path)
    encodings, encodings_path, encodings_error = {}, path, nil
    if path == "" then return end
    local file, err = io.open(path, "rb")
    if not file then
        encodings_error = err or "cannot open"
        return
    end
    local data = file:read("*a")
    file:close()
    local size = #data
    -- Little-endian unsigned 64-bit count at 1-based `pos`; nil when it does not fit.
    local function count(pos)
        if pos + 7 > size then return nil end
        local lo, hi = int32_le(data, pos) % 0x100000000, int32_le(data, pos + 4) % 0x100000000
        if hi ~= 0 then return nil end
        return lo
    end
    local pos = 1
    local channels = count(pos)
    if not channels then encodings_error = "truncated"; return end
    pos = pos + 8 + 66 * channels + 4 + 4 + 608
    local entries = count(pos)
    if not entries or pos + 8 + 68 * entries - 1 > size then
        encodings_error = "truncated"
        return
    end
    pos = pos + 8
    for _ = 1, entries do
        local key = int32_le(data, pos)
        encodings[key] = { code = cstring(data, pos + 4, 30), base = double_le(data, pos + 4 + 44),
                           tick = double_le(data, pos + 4 + 52) }
        pos = pos + 68
    end
end

local function current_encodings()
    if encodings_path ~= vorn.prefs.snapshot then load_snapshot(vorn.prefs.snapshot) end
    return encodings
end

---------------------------------------------------------------------------------------------
-- Capture-wide state: the sequence per stream and the instrument last named, taken on the
-- first pass in capture order and kept per frame for later passes.

local last_seqno = {}   -- stream -> last sequence number seen
local last_inst = {}    -- stream -> instrument key named by the last update-time field
local frame_state = {}  -- frame number -> { seq = {note per packet}, inst = key at frame start }

-- Each capture opened starts afresh and reads the snapshot file again (a new day's file may
-- stand at the same path).
function vorn.init()
    last_seqno, last_inst, frame_state = {}, {}, {}
    load_snapshot(vorn.prefs.snapshot)
end

local function stream_of(pinfo)
    return tostring(pinfo.src) .. ">" .. tostring(pinfo.dst_port)
end

---------------------------------------------------------------------------------------------
-- Feed packet dissection

-- Members of one market-data field from `s` (the field data as a string) into `tree`;
-- returns the instrument key when the field is an update time.
local function add_members(tree, tvb, data_off, s, id, inst)
    local members = MEMBERS[id]
    local pos, last = 1, #s
    local named
    local enc = inst and current_encodings()[inst]
    for _, m in ipairs(members) do
        local name, wire, price = m[1], m[2], m[3]
        if wire == "d" then
            if last - pos + 1 < 8 then
                local item = tree:add(member_pf[name], tvb(data_off, 0), 0)
                item:add_proto_expert_info(ef.member_cut, name .. ": fewer than 8 bytes left, decodes as 0")
            else
                local range = tvb(data_off + pos - 1, 8)
                tree:add(member_pf[name], range, range:float())
                pos = pos + 8
            end
        else
            local value, taken = varint(s, pos, last)
            local range = taken > 0 and tvb(data_off + pos - 1, taken) or tvb(data_off, 0)
            local item = tree:add(member_pf[name], range, type(value) == "number" and Int64(value) or value)
            if taken == 0 then
                item:add_proto_expert_info(ef.member_cut, name .. ": varint cut short, decodes as 0")
            end
            pos = pos + taken
            if name == "ins_int_id" and taken > 0 and type(value) == "number" then named = value end
            if name == "update_time" then
                local text = time_text(value)
                if text then item:append_text(" (" .. text .. ")") end
            end
            if price and type(value) == "number" then
                if value == NO_PRICE_TICKS then
                    item:append_text(" (no price)")
                elseif enc then
                    local real = value * enc.tick + enc.base
                    item:add(real_pf[name], range, real):set_generated()
                    item:append_text(string.format(" (%.10g)", real))
                end
            end
        end
    end
    if named then
        local e = current_encodings()[named]
        if e then
            tree:add(pf.instrument, tvb(data_off, #s), e.code):set_generated()
        elseif next(current_encodings()) then
            tree:add_proto_expert_info(ef.no_instrument, "Instrument " .. named .. " is not in the snapshot")
        end
    end
    return named
end

-- Notes one packet's sequence number against the stream's previous one (first pass only).
local function sequence_note(stream, seqno)
    local prev = last_seqno[stream]
    last_seqno[stream] = seqno
    if prev == nil or seqno == prev + 1 then return nil end
    if seqno > prev + 1 then
        return { ef.seq_jump, string.format("Sequence jump: %d packets missing (%d to %d)",
            seqno - prev - 1, prev + 1, seqno - 1) }
    end
    return { ef.seq_back, string.format("Sequence number %d after %d", seqno, prev) }
end

-- Dissects the feed packets of one UDP payload, walking it as the library does: by each
-- packet's declared body length, field by field, stopping where the library would give up.
local function dissect_feed(tvb, pinfo, root)
    local len = tvb:len()
    pinfo.cols.protocol = "VORN"
    local top = root:add(vorn, tvb())
    current_encodings()
    if encodings_error then
        top:add_proto_expert_info(ef.snapshot, string.format("Snapshot %s not read: %s", encodings_path, encodings_error))
    end
    local first_pass = not pinfo.visited
    local state = frame_state[pinfo.number]
    local stream = stream_of(pinfo)
    if first_pass or not state then
        state = { seq = {}, inst = last_inst[stream] }
        frame_state[pinfo.number] = state
    end
    local inst = state.inst
    local seqnos = {}
    local off, index, failed = 0, 0, false
    local problem -- shown in the Info column

    while off < len and not failed do
        if len - off < 20 then
            local item = top:add(pf.rest, tvb(off))
            if index == 0 then
                item:add_proto_expert_info(ef.cut_header,
                    string.format("Packet header cut: %d of 20 bytes", len - off))
                problem = "cut"
            else
                item:add_proto_expert_info(ef.trailing,
                    string.format("%d bytes after the last packet: too short for a packet header", len - off))
                problem = "trailing bytes"
            end
            break
        end
        index = index + 1
        local seqno = tvb(off + 8, 4):uint()
        local bodylen = tvb(off + 14, 2):uint()
        local encrypt_word = tvb(off + 16, 4):uint()
        local encrypted = encrypt_word >= 0x10000 and math.floor(encrypt_word / 0x10000) % 2 == 1
        local body_end = off + 20 + bodylen
        local avail_end = math.min(body_end, len)
        local ptree = top:add(pf.packet, tvb(off, avail_end - off))
        ptree:append_text(string.format(" %d, seqno %d", index, seqno))
        ptree:add(pf.ver, tvb(off, 1))
        ptree:add(pf.ptype, tvb(off + 1, 1))
        ptree:add(pf.topicid, tvb(off + 2, 2))
        ptree:add(pf.trans_id, tvb(off + 4, 4))
        local seq_item = ptree:add(pf.seqno, tvb(off + 8, 4))
        ptree:add(pf.numfields, tvb(off + 12, 2))
        ptree:add(pf.bodylen, tvb(off + 14, 2))
        ptree:add(pf.encrypt, tvb(off + 16, 4))
        ptree:add(pf.encrypted, tvb(off + 16, 4))
        seqnos[#seqnos + 1] = seqno
        if first_pass then state.seq[index] = sequence_note(stream, seqno) or false end
        local note = state.seq[index]
        if note then seq_item:add_proto_expert_info(note[1], note[2]) end

        local p, count = off + 20, 0
        while p < body_end do
            if p >= len then
                ptree:add_proto_expert_info(ef.short_body, string.format(
                    "Payload ends after %d of %d body bytes: the packet delivers no update", p - off - 20, bodylen))
                break
            end
            if body_end - p < 4 or len - p < 4 then
                local cut = len - p < 4 and len - p < body_end - p
                local item = ptree:add(pf.rest, tvb(p, math.min(len, body_end) - p))
                if cut then
                    item:add_proto_expert_info(ef.cut_field, string.format(
                        "Packet cut inside a field header: %d of 4 bytes", len - p))
                    problem = "cut"
                else
                    problem = "field overrun"
                    item:add_proto_expert_info(ef.overrun, string.format(
                        "Field header overruns the packet body: %d body bytes left", body_end - p))
                end
                failed = true
                break
            end
            count = count + 1
            local id = tvb(p, 2):uint()
            local flen = tvb(p + 2, 2):uint()
            local data_off = p + 4
            local name = FIELD_NAMES[id] or string.format("unknown field 0x%04x", id)
            local present = math.min(flen, len - data_off)
            local ftree = ptree:add(pf.field, tvb(p, 4 + math.max(present, 0)))
            ftree:set_text(string.format("Field %d: %s, %d bytes", count, name, flen))
            ftree:add(pf.field_id, tvb(p, 2))
            ftree:add(pf.field_len, tvb(p + 2, 2))
            if data_off == body_end then
                -- The header ends the body: the next packet header follows it.
                if flen > 0 then
                    ftree:add_proto_expert_info(ef.no_data, string.format(
                        "Field declares %d bytes but its packet's body ends with its header", flen))
                end
                p = data_off
                break
            end
            if data_off == len then
                -- The payload ends right after this header: the library stops there, no error.
                ptree:add_proto_expert_info(ef.short_body, string.format(
                    "Payload ends after %d of %d body bytes: the packet delivers no update", data_off - off - 20, bodylen))
                p = data_off
                break
            end
            local data = tvb(data_off, math.max(present, 0))
            local cut = flen > len - data_off
            local overrun = flen > body_end - data_off
            if MEMBERS[id] then
                local hidden = encrypted and encryptable(id)
                ftree:add(pf.field_encrypted, tvb(p, 0), hidden):set_generated()
                if hidden then
                    ftree:add(pf.field_data, data)
                    ftree:add_proto_expert_info(ef.encrypted)
                    ftree:append_text(" (encrypted)")
                elseif not cut then
                    local named = add_members(ftree, tvb, data_off, data:raw(), id, inst)
                    if named then inst = named end
                else
                    ftree:add(pf.field_data, data)
                end
            else
                ftree:add(pf.field_data, data)
                ftree:add_proto_expert_info(ef.unknown_field)
            end
            if cut then
                ftree:add_proto_expert_info(ef.cut_field, string.format(
                    "Packet cut inside the data of %s: %d of %d bytes", name, present, flen))
                problem = "cut"
                failed = true
                break
            end
            if overrun then
                ftree:add_proto_expert_info(ef.overrun, string.format(
                    "%s declares %d bytes, its packet's body has %d left", name, flen, body_end - data_off))
                problem = "field overrun"
                failed = true
                p = data_off + present
                break
            end
            p = data_off + flen
        end
        ptree:add(pf.field_count, tvb(off, 0), count):set_generated()
        if failed then
            if avail_end < len or p < len then
                -- The library gives up the rest of the payload after an error.
                local from = math.max(p, avail_end)
                if from < len then top:add(pf.rest, tvb(from)) end
            end
            break
        end
        if bodylen == 0 and body_end < len then
            top:add(pf.rest, tvb(body_end)):add_proto_expert_info(ef.trailing,
                "Bytes after a packet with an empty body are not parsed")
            problem = "trailing bytes"
            break
        end
        off = body_end
    end
    if first_pass then last_inst[stream] = inst end

    local info = {}
    for _, s in ipairs(seqnos) do info[#info + 1] = tostring(s) end
    local text = #info > 0 and "Seq=" .. table.concat(info, ",") or "Vorn feed payload"
    if problem then text = text .. " [" .. problem .. "]" end
    pinfo.cols.info = text
    return len
end

function vorn.dissector(tvb, pinfo, root)
    return dissect_feed(tvb, pinfo, root)
end

-- The header version of the feed's packets.
local FEED_VERSION = 1

-- Heuristic recognition on any UDP port: the datagram must be feed packets back to back and
-- nothing else. Each packet has the feed's header version, a body that fits the datagram, a
-- body walked exactly by field headers of market-data ids whose data stays within it, and as
-- many fields as its header declares.
local function is_feed(tvb)
    local len = tvb:len()
    local off = 0
    repeat
        if len - off < 24 or tvb(off, 1):uint() ~= FEED_VERSION then return false end
        local body_end = off + 20 + tvb(off + 14, 2):uint()
        if body_end > len then return false end
        local p, count = off + 20, 0
        while p < body_end do
            if body_end - p < 4 or not MEMBERS[tvb(p, 2):uint()] then return false end
            p = p + 4 + tvb(p + 2, 2):uint()
            count = count + 1
        end
        if p ~= body_end or count == 0 or count ~= tvb(off + 12, 2):uint() then return false end
        off = body_end
    until off == len
    return true
end

local function heuristic(tvb, pinfo, root)
    if not is_feed(tvb) then return false end
    dissect_feed(tvb, pinfo, root)
    return true
end
vorn:register_heuristic("udp", heuristic)

local udp_ports = DissectorTable.get("udp.port")
local registered_ports = nil

local function register_ports()
    if registered_ports == vorn.prefs.ports then return end
    if registered_ports then udp_ports:remove(registered_ports, vorn) end
    udp_ports:add(vorn.prefs.ports, vorn)
    registered_ports = vorn.prefs.ports
end

function vorn.prefs_changed()
    register_ports()
    if encodings_path ~= vorn.prefs.snapshot then load_snapshot(vorn.prefs.snapshot) end
end
register_ports()

---------------------------------------------------------------------------------------------
-- Firmware record frames: a 4-byte prefix, then one little-endian 276-byte record (prices
-- as integers in thousandths, the update time in seconds since midnight).

local RECORD_SIZE, RECORD_PREFIX, RECORD_FRAME_MAX = 276, 4, 2048

-- Members of the record: name, offset in the record, kind.
local RECORD_MEMBERS = {
    { "inst_no", 0, "i32" }, { "trading_day", 4, "text", 9 }, { "instrument_id", 13, "text", 31 },
    { "update_time", 44, "time" }, { "update_msec", 52, "i32" }, { "volume", 56, "i32" },
    { "last_price", 60, "price" }, { "turn_over", 68, "double" }, { "open_interest", 76, "i64" },
}
do
    local levels = { "bid1", "ask1", "bid2", "ask2", "bid3", "ask3", "bid4", "ask4", "bid5", "ask5" }
    for i, level in ipairs(levels) do
        RECORD_MEMBERS[#RECORD_MEMBERS + 1] = { level .. "_volume", 84 + 4 * (i - 1), "i32" }
    end
    for i, level in ipairs(levels) do
        RECORD_MEMBERS[#RECORD_MEMBERS + 1] = { level .. "_price", 124 + 8 * (i - 1), "price" }
    end
    local tail = { "high_price", "low_price", "open_price", "close_price", "upper_limit_price",
                   "lower_limit_price", "settlement_price", "curr_delta" }
    for i, name in ipairs(tail) do
        RECORD_MEMBERS[#RECORD_MEMBERS + 1] = { name, 204 + 8 * (i - 1), name == "curr_delta" and "i64" or "price" }
    end
    RECORD_MEMBERS[#RECORD_MEMBERS + 1] = { "trust_flag", 268, "i64" }
end

local rf = { prefix = ProtoField.bytes("vorn_record.prefix", "Prefix") }
local rec_fields = { rf.prefix }
for _, m in ipairs(RECORD_MEMBERS) do
    local name, kind = m[1], m[3]
    local abbr = "vorn_record." .. name
    local f
    if kind == "text" then
        f = ProtoField.string(abbr, name)
    elseif kind == "i32" then
        f = ProtoField.int32(abbr, name)
    elseif kind == "double" then
        f = ProtoField.double(abbr, name)
    else
        f = ProtoField.int64(abbr, name .. (kind == "price" and " (thousandths)" or ""))
    end
    rf[name] = f
    rec_fields[#rec_fields + 1] = f
end
vrec.fields = rec_fields

local ref = {
    short = ProtoExpert.new("vorn_record.short", "Frame shorter than a record: the library does not take it",
        expert.group.MALFORMED, expert.severity.ERROR),
    cut = ProtoExpert.new("vorn_record.cut", "Record cut by the frame's end: the library reads the rest as 0",
        expert.group.MALFORMED, expert.severity.WARN),
    long = ProtoExpert.new("vorn_record.long", "Frame longer than 2048 bytes: the library does not take it",
        expert.group.MALFORMED, expert.severity.ERROR),
}
vrec.experts = { ref.short, ref.cut, ref.long }

function vrec.dissector(tvb, pinfo, root)
    local len = tvb:len()
    pinfo.cols.protocol = "VORN-REC"
    local tree = root:add(vrec, tvb())
    if len < RECORD_PREFIX then
        tree:add_proto_expert_info(ref.short, string.format("Frame of %d bytes: a record frame has 276 to 2048", len))
        pinfo.cols.info = "Vorn record frame, too short"
        return len
    end
    tree:add(rf.prefix, tvb(0, RECORD_PREFIX))
    local present = len - RECORD_PREFIX
    local values = {}
    for _, m in ipairs(RECORD_MEMBERS) do
        local name, at, kind, width = m[1], m[2], m[3], m[4]
        local size = width or ((kind == "i32") and 4 or 8)
        if at + size <= present then
            local range = tvb(RECORD_PREFIX + at, size)
            if kind == "text" then
                local text = cstring(range:raw(), 1, size)
                tree:add(rf[name], range, text)
                values[name] = text
            elseif kind == "i32" or kind == "double" then
                tree:add_le(rf[name], range)
                values[name] = kind == "i32" and range:le_int() or range:le_float()
            else
                local item = tree:add_le(rf[name], range)
                local v = tonumber(tostring(range:le_int64()))
                values[name] = v
                if kind == "price" then
                    item:append_text(string.format(" (%.10g)", v / 1000))
                elseif kind == "time" then
                    local text = time_text(v)
                    if text then item:append_text(" (" .. text .. ")") end
                end
            end
        end
    end
    if len < RECORD_PREFIX + RECORD_SIZE then
        local expert_item = len < RECORD_SIZE and ref.short or ref.cut
        tree:add_proto_expert_info(expert_item, string.format(
            "Frame of %d bytes holds %d of the record's %d bytes", len, math.max(present, 0), RECORD_SIZE))
    elseif len > RECORD_FRAME_MAX then
        tree:add_proto_expert_info(ref.long, string.format("Frame of %d bytes", len))
    end
    local info = "Record " .. (values.instrument_id or "?")
    local time = time_text(values.update_time)
    if time then info = info .. " " .. time .. string.format(".%03d", values.update_msec or 0) end
    if values.last_price then info = info .. string.format(" last %.10g", values.last_price / 1000) end
    pinfo.cols.info = info
    return len
end
