-- vrn.lua: a Wireshark dissector for the VRN module's UDP protocol. It
-- decodes every datagram, pairs each answer on the command port with its
-- request and flags what cannot be right: an answer of the wrong length, a
-- request left without an answer, an answer past the 4 s wait, a duplicate.
--
-- Install: copy this file into the personal Lua plugins folder (Help >
-- About Wireshark > Folders), or load it for one run:
--     tshark -X lua_script:vrn.lua -2 -r capture.pcap
-- What a request learns from later frames (its answer, a missing answer)
-- shows in Wireshark at once and in tshark with two passes (-2).
--
-- Acknowledges carry no sequence number: the client takes the next data on
-- its command socket as the answer. The pairing follows that rule; the
-- analysis is made once, in frame order, on the first pass, and kept per
-- frame number for the later passes.

local vrn = Proto("vrn", "VRN module protocol")

local MAGIC_A, MAGIC_B = 0x135a246b, 0xeca12bdf
local REG_MAGIC, CHAN_MAGIC = 0xcd4594aa, 0x1b24aa55
local PROBE = { 0x13572468, 0xaabbccdd, 0xeeff0011, 0x00ff33aa }
local TEST_PATTERN = { 0x11223344, 0x55667788, 0x99aabbcc, 0xddeeff00 }
local BUS_READ, BUS_WRITE, BLOCK = 0x14190100, 0x141A0300, 0x310A1800
local ANSWER_WAIT = 4 -- seconds the client waits for an answer

-- Bit fields without a bit library, the same on every Lua that Wireshark ships.
local function bits(v, shift, width)
    return math.floor(v / 2 ^ shift) % math.floor(2 ^ width)
end

----------------------------------------------------------------------------
-- Preferences

vrn.prefs.base_port = Pref.uint("Base port", 3011,
    "The module's base port: commands go to base+1, streams use base+2 and base+3")
vrn.prefs.chip_width = Pref.enum("Flash chip width (bits)", 8,
    "Bits per flash cell: a cell is 2 bus addresses wide on an 8-bit chip, 4 on a 16-bit chip",
    { { 1, "8", 8 }, { 2, "16", 16 } }, false)
vrn.prefs.sector_size = Pref.uint("Flash sector size", 0x10000,
    "Cells per flash sector, in decimal: 65536 (0x10000) for the AMD chips and 16-bit Intel chips, 131072 (0x20000) for 8-bit Intel chips")

----------------------------------------------------------------------------
-- Fields

local FAMILY = { [REG_MAGIC] = "register family", [CHAN_MAGIC] = "channel family" }
local CHAN_KIND = { [4] = "read channel", [8] = "write channel" }
local DIRECTION = { [0] = "read", [1] = "write" }
local FLASH_CMD = {
    [0xFF] = "read array (Intel reset)", [0xF0] = "reset (AMD)", [0xAA] = "unlock 1", [0x55] = "unlock 2",
    [0x90] = "identifier mode", [0x80] = "erase set-up", [0x30] = "sector erase", [0xA0] = "program (AMD)",
    [0x20] = "block erase", [0xD0] = "erase confirm", [0x40] = "program (Intel)", [0x70] = "read status",
    [0x50] = "clear status",
}

local f = {
    kind = ProtoField.string("vrn.kind", "Datagram"),
    answer = ProtoField.bool("vrn.answer", "Answer"),
    probe = ProtoField.bytes("vrn.probe", "Echo probe pattern"),
    test_pattern = ProtoField.bytes("vrn.test_pattern", "Test pattern"),
    magic_a = ProtoField.uint32("vrn.magic_a", "magic_a", base.HEX),
    word_count = ProtoField.uint32("vrn.word_count", "word_count", base.DEC),
    magic_b = ProtoField.uint32("vrn.magic_b", "magic_b", base.HEX),
    packet_type = ProtoField.uint32("vrn.packet_type", "packet_type", base.HEX),
    payload_magic = ProtoField.uint32("vrn.payload_magic", "payload_magic", base.HEX, FAMILY),
    cmd = ProtoField.uint32("vrn.cmd", "command_word", base.HEX),
    cmd_class = ProtoField.uint32("vrn.cmd.class", "cmd_class", base.DEC, nil, 0xF0000000),
    cmd_sub_space = ProtoField.uint32("vrn.cmd.sub_space", "sub_space", base.DEC, nil, 0x0F000000),
    cmd_bit20 = ProtoField.bool("vrn.cmd.bit20", "Bit 20", 32, nil, 0x00100000),
    cmd_bit19 = ProtoField.bool("vrn.cmd.bit19", "Bit 19", 32, nil, 0x00080000),
    cmd_write = ProtoField.bool("vrn.cmd.write_flag", "write_flag", 32, nil, 0x00020000),
    cmd_read = ProtoField.bool("vrn.cmd.read_flag", "read_flag", 32, nil, 0x00010000),
    cmd_words = ProtoField.uint32("vrn.cmd.words", "Words (pair_words)", base.DEC, nil, 0x0000FF00),
    command = ProtoField.string("vrn.command", "Command"),
    arg1 = ProtoField.uint32("vrn.arg1", "First argument word", base.HEX),
    arg2 = ProtoField.uint32("vrn.arg2", "Second argument word", base.HEX),
    space_mode = ProtoField.uint32("vrn.space_mode", "space_mode", base.DEC),
    space = ProtoField.string("vrn.space", "Register space code"),
    reg_pairs = ProtoField.uint32("vrn.reg.pairs", "Pairs", base.DEC),
    reg_addr = ProtoField.uint32("vrn.reg.addr", "Register address", base.HEX),
    reg_value = ProtoField.uint32("vrn.reg.value", "Register value", base.HEX),
    bus_addr = ProtoField.uint32("vrn.bus.addr", "Bus address", base.HEX),
    bus_items = ProtoField.uint32("vrn.bus.items", "Item count", base.DEC),
    bus_data = ProtoField.uint32("vrn.bus.data", "Data word", base.HEX),
    bus_value = ProtoField.uint8("vrn.bus.value", "Byte read", base.HEX),
    flash_cmd = ProtoField.uint8("vrn.flash.cmd", "Flash command", base.HEX, FLASH_CMD),
    flash_data = ProtoField.uint8("vrn.flash.data", "Flash data byte", base.HEX),
    flash_read = ProtoField.string("vrn.flash.read", "Flash read"),
    flash_sector = ProtoField.uint32("vrn.flash.sector", "Sector", base.DEC),
    flash_cell = ProtoField.uint32("vrn.flash.cell", "Cell in sector", base.HEX),
    chan_words = ProtoField.uint32("vrn.chan.desc_words", "Descriptor words", base.DEC),
    chan_kind = ProtoField.uint32("vrn.chan.kind", "Channel kind", base.DEC, CHAN_KIND),
    chan_chunk = ProtoField.uint32("vrn.chan.chunk", "Chunk size", base.DEC),
    chan_word = ProtoField.uint32("vrn.chan.word", "Descriptor word", base.HEX),
    chan_value = ProtoField.uint32("vrn.chan.value", "Start value", base.DEC),
    chan_direction = ProtoField.uint32("vrn.chan.direction", "Direction", base.DEC, DIRECTION),
    query_length = ProtoField.uint32("vrn.query.length", "Length asked for", base.DEC),
    query_code = ProtoField.uint32("vrn.query.code", "Query code", base.DEC),
    query_status = ProtoField.uint8("vrn.query.status", "Status", base.DEC),
    query_data = ProtoField.bytes("vrn.query.data", "Data"),
    set_first = ProtoField.uint32("vrn.set.first", "First value", base.DEC),
    set_second = ProtoField.uint32("vrn.set.second", "Second value", base.DEC),
    block_kind = ProtoField.uint8("vrn.block.kind", "Block transfer kind", base.DEC),
    block_word = ProtoField.uint32("vrn.block.word", "Block word", base.HEX),
    raw_length = ProtoField.uint32("vrn.raw.length", "Length word", base.DEC),
    raw_seq = ProtoField.uint32("vrn.raw.seq", "Sequence", base.DEC),
    raw_word = ProtoField.uint32("vrn.raw.word", "Word", base.HEX),
    raw_arg = ProtoField.uint32("vrn.raw.arg", "Argument", base.HEX),
    stream_len = ProtoField.uint32("vrn.stream.len", "Length", base.DEC),
    stream_data = ProtoField.bytes("vrn.stream.data", "Data"),
    trailing = ProtoField.bytes("vrn.trailing", "Bytes beyond the command"),
    response_in = ProtoField.framenum("vrn.response_in", "Answer in", base.NONE, frametype.RESPONSE),
    request_in = ProtoField.framenum("vrn.request_in", "Request in", base.NONE, frametype.REQUEST),
    rtt = ProtoField.relative_time("vrn.rtt", "Round-trip time"),
    expected_len = ProtoField.uint32("vrn.expected_len", "Answer length wanted", base.DEC),
    part = ProtoField.uint32("vrn.part", "Part of the answer", base.DEC),
    stale = ProtoField.bool("vrn.stale", "Stale (not the answer of the request that waits)"),
    late = ProtoField.bool("vrn.late", "Late (past the 4 s wait)"),
    unanswered = ProtoField.bool("vrn.unanswered", "No answer before the next request"),
    duplicate_of = ProtoField.framenum("vrn.duplicate_of", "Duplicate of", base.NONE, frametype.RESPONSE),
    late_for = ProtoField.framenum("vrn.late_for", "Late answer to", base.NONE, frametype.REQUEST),
    late_answer_in = ProtoField.framenum("vrn.late_answer_in", "Late answer in", base.NONE, frametype.RESPONSE),
}
local field_list = {}
for _, v in pairs(f) do field_list[#field_list + 1] = v end
vrn.fields = field_list

local e = {
    malformed = ProtoExpert.new("vrn.expert.malformed", "Malformed datagram", expert.group.MALFORMED, expert.severity.ERROR),
    bad_ack = ProtoExpert.new("vrn.expert.bad_ack", "Acknowledge the client refuses", expert.group.PROTOCOL, expert.severity.ERROR),
    word_count = ProtoExpert.new("vrn.expert.word_count", "word_count disagrees with the length", expert.group.PROTOCOL, expert.severity.WARN),
    wrong_length = ProtoExpert.new("vrn.expert.wrong_length", "Answer of the wrong length for its request", expert.group.SEQUENCE, expert.severity.WARN),
    unanswered = ProtoExpert.new("vrn.expert.unanswered", "Request without an answer before the next request", expert.group.SEQUENCE, expert.severity.WARN),
    late = ProtoExpert.new("vrn.expert.late", "Answer more than 4 s after its request", expert.group.SEQUENCE, expert.severity.WARN),
    duplicate = ProtoExpert.new("vrn.expert.duplicate", "Duplicate answer", expert.group.SEQUENCE, expert.severity.WARN),
    stale = ProtoExpert.new("vrn.expert.stale", "Answer while no request waits", expert.group.SEQUENCE, expert.severity.WARN),
    split = ProtoExpert.new("vrn.expert.split", "Answer in several datagrams", expert.group.REASSEMBLE, expert.severity.NOTE),
    other_source = ProtoExpert.new("vrn.expert.other_source", "Answer from another address or port", expert.group.SEQUENCE, expert.severity.NOTE),
    raw_unanswered = ProtoExpert.new("vrn.expert.raw_unanswered", "Raw command without an answer", expert.group.SEQUENCE, expert.severity.NOTE),
    cut = ProtoExpert.new("vrn.expert.cut", "Datagram cut by the capture's snap length", expert.group.UNDECODED, expert.severity.NOTE),
    idle_port = ProtoExpert.new("vrn.expert.idle_port", "Datagram on the base port, which carries no traffic", expert.group.PROTOCOL, expert.severity.NOTE),
}
local expert_list = {}
for _, v in pairs(e) do expert_list[#expert_list + 1] = v end
vrn.experts = expert_list

----------------------------------------------------------------------------
-- Decoding a datagram's bytes into a description (no tree, no state)

local function word(tvb, at) return tvb(at, 4):le_uint() end

local function same_words(tvb, pattern)
    if tvb:len() ~= 16 then return false end
    for i = 1, 4 do
        if word(tvb, 4 * (i - 1)) ~= pattern[i] then return false end
    end
    return true
end

local function is_framed(tvb)
    return tvb:len() >= 12 and word(tvb, 0) == MAGIC_A and word(tvb, 8) == MAGIC_B
end

local function is_raw(tvb)
    return tvb:len() == 64 and word(tvb, 0) == CHAN_MAGIC and word(tvb, 4) == 64
end

-- Register space codes by what a request carries: packet_type, space_mode, sub_space.
local SPACE_CODES = {
    ["49/3/0"] = "0", ["49/3/1"] = "1 or 2", ["18/1/1"] = "3 or 49", ["49/3/2"] = "32", ["49/3/3"] = "33",
    ["18/1/4"] = "34",
}

-- What a request is: its name, the answer length it waits for, and the
-- smallest length its fields need. nil for a request of no known command.
local function identify_request(tvb)
    local len = tvb:len()
    if same_words(tvb, PROBE) then return { name = "echo probe", want = 16, min = 16 } end
    if same_words(tvb, TEST_PATTERN) then return { name = "test pattern", want = 16, min = 16 } end
    if is_raw(tvb) then return { name = "raw command", want = 64, min = 64, raw = true } end
    if not is_framed(tvb) or len < 32 then return nil end
    local pmagic, cw, a1 = word(tvb, 16), word(tvb, 20), word(tvb, 24)
    if pmagic == REG_MAGIC then
        if cw == BUS_READ then return { name = "bus read", want = 36, min = 40, bus = true } end
        if cw == BUS_WRITE then return { name = "bus write", want = 32, min = 44, bus = true } end
        if cw == BLOCK then return { name = "block transfer", want = 128, min = 128, block = true } end
        local rw = bits(cw, 28, 4) == 3 and bits(cw, 18, 6) == 6 and bits(cw, 0, 8) == 0
        local rd, wr = bits(cw, 16, 1) == 1, bits(cw, 17, 1) == 1
        if rw and rd ~= wr then
            local n = math.floor(bits(cw, 8, 8) / 2)
            local req = { name = rd and "register read" or "register write", want = rd and 32 + 4 * n or 32,
                min = 32 + 8 * n, reg = true, pairs = n, read = rd, addresses = {} }
            if len >= req.min then
                for i = 0, n - 1 do req.addresses[i + 1] = word(tvb, 32 + 8 * i) end
                -- The list write shares the write's format; only its addresses may leap.
                local a = req.addresses
                for i = 3, n do
                    if wr and a[i] - a[i - 1] ~= a[2] - a[1] then req.name = "register list write" end
                end
            end
            return req
        end
    elseif pmagic == CHAN_MAGIC then
        local names = { [0x1300] = "channel open", [0x1100] = "channel start", [0x1200] = "channel stop",
            [0x1400] = "channel close" }
        if names[cw] then return { name = names[cw], want = 32, min = cw == 0x1300 and 68 or 32, chan = cw } end
        if cw == 2 and a1 == 0x3002 then
            return { name = "query", want = 48 + word(tvb, 28), min = 36, query = true }
        end
        if cw == 2 and a1 == 0x3003 then return { name = "set", want = 48, min = 36, set = true } end
    end
    return nil
end

----------------------------------------------------------------------------
-- State of the first pass

local frames   -- frame number -> what the first pass learnt about it
local convs    -- client "ip:port" -> its command conversation
local streams  -- client ip -> direction -> chunk size of its open channel
local senders  -- "a|b" endpoint pair on a port of no known role -> the client end

local function reset_state()
    frames, convs, streams, senders = {}, {}, {}, {}
end
reset_state()
vrn.init = reset_state  -- a new capture, or a redissection after a preference change

local function conv_for(key)
    local c = convs[key]
    if not c then
        c = { cur = nil, open = {}, flash = { unlock = 0 } }
        convs[key] = c
    end
    return c
end

-- The flash meaning of a bus write's byte: a command where the command
-- sets make it one, else data (the byte after a program command).
local function flash_write(st, byte)
    local is_cmd = true
    if st.program then
        st.program = false
        return "program data", false
    end
    local unlocked = st.unlock == 2
    if byte == 0xAA then
        st.unlock = 1
        return FLASH_CMD[byte], true
    elseif byte == 0x55 and st.unlock == 1 then
        st.unlock = 2
        return FLASH_CMD[byte], true
    end
    st.unlock = 0
    if byte == 0xA0 and unlocked then
        st.program, st.mode = true, "program verify"
    elseif byte == 0x40 then
        st.program, st.mode = true, "program verify"
    elseif byte == 0x80 and unlocked then
        st.erase_setup = true
    elseif byte == 0x30 and unlocked and st.erase_setup then
        st.mode = "erase poll"
    elseif byte == 0x20 then
        st.intel_erase = true
    elseif byte == 0xD0 and st.intel_erase then
        st.mode = "status"
    elseif byte == 0x90 then
        st.mode = "identifier"
    elseif byte == 0x70 then
        st.mode = "status"
    elseif byte == 0xF0 or byte == 0xFF then
        st.mode = "array"
    elseif byte == 0x50 then
        st.mode = "array"  -- the driver reads the cell's data next
    else
        is_cmd = false
    end
    if byte ~= 0x80 then st.erase_setup = false end
    if byte ~= 0x20 then st.intel_erase = false end
    if not is_cmd then return "data (not a command here)", false end
    return FLASH_CMD[byte], true
end

local function flash_read(st, index)
    local mode = st.mode or "array"
    if mode == "identifier" then
        if index == 0 then return "maker code" end
        if index == 1 then return "device code" end
        return "identifier mode read"
    end
    if mode == "status" then return "status" end
    if mode == "erase poll" then return "erase poll" end
    if mode == "program verify" then return "program verify" end
    return "cell"
end

-- A request arrives: the one before it that still waits gets no answer now.
local function on_request(c, info, req, now, number)
    local prev = c.cur
    if prev and not prev.done then
        prev.done = true
        if prev.got > 0 then
            prev.incomplete = true
            frames[prev.parts[#prev.parts]].short = { got = prev.got, want = prev.want }
        end
        if prev.raw and prev.got == 0 then
            prev.raw_silent = true
        elseif prev.want then
            prev.unanswered = number
            c.open[#c.open + 1] = prev
        end
    end
    local r = { frame = number, time = now, want = req and req.want, name = req and req.name or "unknown request",
        raw = req and req.raw, desc = req, got = 0, parts = {}, done = false, to = info.command_port }
    c.cur = r
    info.req = r
    return r
end

local function take_open(c, wanted_len)
    for i = #c.open, 1, -1 do
        local q = c.open[i]
        if wanted_len == nil or q.want == wanted_len then
            table.remove(c.open, i)
            return q
        end
    end
    return nil
end

local function late_answer(a, q, now, waiting)
    a.stale, a.late_for, a.late_req, a.rtt = true, q.frame, q, now - q.time
    a.late = a.rtt > ANSWER_WAIT
    a.while_waiting = waiting and waiting.frame
    q.late_answer = a.frame
end

-- An answer arrives for the client of conversation c.
local function on_answer(c, info, size, hex, now, number)
    local a = { frame = number }
    info.ans = a
    local r = c.cur
    if r and not r.done then
        -- A datagram that cannot be this request's answer but is exactly
        -- what an earlier, unanswered request waits for is that one's late answer.
        if r.want and r.got == 0 and size ~= r.want then
            local q = take_open(c, size)
            if q then return late_answer(a, q, now, r) end
        end
        a.req, a.rtt = r, now - r.time
        a.late = a.rtt > ANSWER_WAIT
        r.parts[#r.parts + 1] = number
        a.part = #r.parts
        -- The answer starts at its first part; its round trip ends with its last.
        if #r.parts == 1 then r.answer = number end
        r.rtt = a.rtt
        r.hex = (r.hex or "") .. hex
        r.got = r.got + size
        r.last_hex = hex
        if not r.want or r.got == r.want then
            r.done = true
            if #r.parts > 1 then a.reassembled = r.hex end
        elseif r.got > r.want then
            r.done = true
            a.wrong = { got = r.got, want = r.want }
        else
            a.partial = true
        end
        return
    end
    a.stale = true
    local q = c.open[#c.open]
    if q and now - q.time > ANSWER_WAIT then
        table.remove(c.open)
        return late_answer(a, q, now, nil)
    end
    if r and r.last_hex == hex then
        a.duplicate_of, a.dup_req = r.parts[#r.parts], r
        return
    end
    a.unexpected = true
end

----------------------------------------------------------------------------
-- The tree

local function nstime(seconds)
    local us = math.floor(seconds * 1e6 + 0.5)
    return NSTime.new(math.floor(us / 1e6), (us % 1000000) * 1000)
end

local function gen(tree, field, value)
    local item = tree:add(field, value)
    item:set_generated()
    return item
end

-- The frame being decoded was cut by the capture (a snap length): its
-- missing bytes were sent all the same, so no length is judged by them.
local frame_cut = false

local function malformed(tree, tvb, text)
    if frame_cut then return end
    tree:add_tvb_expert_info(e.malformed, tvb(), text)
end

local function flash_place(tree, address)
    local step = vrn.prefs.chip_width == 16 and 4 or 2
    local size = vrn.prefs.sector_size > 0 and vrn.prefs.sector_size or 0x10000
    local index = math.floor(address / step)
    local sector, cell = math.floor(index / size), index % size
    gen(tree, f.flash_sector, sector)
    gen(tree, f.flash_cell, cell)
    return string.format("sector %d cell 0x%X", sector, cell)
end

local function add_header(tree, tvb)
    local len = tvb:reported_len()
    tree:add_le(f.magic_a, tvb(0, 4))
    local wc = tree:add_le(f.word_count, tvb(4, 4))
    if len % 4 ~= 0 or word(tvb, 4) ~= len / 4 - 2 then
        wc:add_proto_expert_info(e.word_count, string.format(
            "word_count %d disagrees with the length: %d bytes make %s", word(tvb, 4), len,
            len % 4 == 0 and tostring(len / 4 - 2) or "no whole number of words"))
    end
    tree:add_le(f.magic_b, tvb(8, 4))
    if len >= 16 then tree:add_le(f.packet_type, tvb(12, 4)) end
end

local function add_command_word(tree, tvb, register_family)
    local item = tree:add_le(f.cmd, tvb(20, 4))
    if register_family then
        item:add_le(f.cmd_class, tvb(20, 4))
        item:add_le(f.cmd_sub_space, tvb(20, 4))
        item:add_le(f.cmd_bit20, tvb(20, 4))
        item:add_le(f.cmd_bit19, tvb(20, 4))
        item:add_le(f.cmd_write, tvb(20, 4))
        item:add_le(f.cmd_read, tvb(20, 4))
        item:add_le(f.cmd_words, tvb(20, 4))
    end
end

local function add_trailing(tree, tvb, used)
    if tvb:len() > used then tree:add(f.trailing, tvb(used)) end
end

-- A request's payload; returns the info text after its name.
local function request_body(tree, tvb, req, info)
    local len = tvb:len()
    if len < req.min then
        malformed(tree, tvb, string.format("%s cut short: %d bytes, it needs %d", req.name, len, req.min))
        return frame_cut and " (cut by the capture)" or " (cut short)"
    end
    if req.bus then
        tree:add_le(f.space_mode, tvb(24, 4))
        local address = word(tvb, 32)
        tree:add_le(f.bus_addr, tvb(32, 4))
        tree:add_le(f.bus_items, tvb(36, 4))
        local place = flash_place(tree, address)
        if req.name == "bus read" then
            local what = info.flash_read or "cell"
            gen(tree, f.flash_read, what)
            add_trailing(tree, tvb, 40)
            return string.format(" 0x%08X [%s, %s]", address, what, place)
        end
        tree:add_le(f.bus_data, tvb(40, 4))
        local byte = tvb(40, 1):uint()
        if info.flash_is_cmd then
            tree:add(f.flash_cmd, tvb(40, 1))
        else
            tree:add(f.flash_data, tvb(40, 1)):append_text(" (" .. (info.flash_meaning or "data") .. ")")
        end
        add_trailing(tree, tvb, 44)
        return string.format(" 0x%08X := 0x%02X [%s, %s]", address, byte, info.flash_meaning or "data", place)
    end
    if req.reg then
        tree:add_le(f.space_mode, tvb(24, 4))
        local key = string.format("%d/%d/%d", word(tvb, 12), word(tvb, 24), bits(word(tvb, 20), 24, 4))
        gen(tree, f.space, SPACE_CODES[key] or "none of the known spaces")
        gen(tree, f.reg_pairs, req.pairs)
        for i = 0, req.pairs - 1 do
            local at = 32 + 8 * i
            local pair = tree:add(tvb(at, 8), string.format("Pair %d", i))
            pair:add_le(f.reg_addr, tvb(at, 4))
            pair:add_le(f.reg_value, tvb(at + 4, 4))
            pair:append_text(req.read and string.format(": 0x%08X", word(tvb, at))
                or string.format(": 0x%08X := 0x%08X", word(tvb, at), word(tvb, at + 4)))
        end
        add_trailing(tree, tvb, 32 + 8 * req.pairs)
        if req.pairs == 0 then return " (no pairs)" end
        return string.format(" %d word%s from 0x%08X", req.pairs, req.pairs == 1 and "" or "s", req.addresses[1])
    end
    if req.block then
        local kind = word(tvb, 12) == 0x30 and 1 or word(tvb, 12) == 0x37 and 2 or 0
        gen(tree, f.block_kind, kind)
        tree:add_le(f.space_mode, tvb(24, 4))
        for i = 0, 23 do tree:add_le(f.block_word, tvb(32 + 4 * i, 4)) end
        return string.format(" kind %d", kind)
    end
    if req.chan then
        if req.chan == 0x1300 then
            tree:add_le(f.chan_words, tvb(24, 4))
            local kind, chunk = word(tvb, 32), word(tvb, 36)
            local d = tree:add(tvb(32, 36), "Channel descriptor")
            d:add_le(f.chan_kind, tvb(32, 4))
            d:add_le(f.chan_chunk, tvb(36, 4))
            for i = 2, 8 do d:add_le(f.chan_word, tvb(32 + 4 * i, 4)) end
            add_trailing(tree, tvb, 68)
            return string.format(" %s, chunk %d", CHAN_KIND[kind] or ("kind " .. kind), chunk)
        end
        if req.chan == 0x1100 then tree:add_le(f.chan_value, tvb(24, 4)) else tree:add_le(f.arg1, tvb(24, 4)) end
        tree:add_le(f.chan_direction, tvb(28, 4))
        add_trailing(tree, tvb, 32)
        local dir = DIRECTION[word(tvb, 28)] or tostring(word(tvb, 28))
        if req.chan == 0x1100 then return string.format(" %s, value %d", dir, word(tvb, 24)) end
        return " " .. dir
    end
    if req.query then
        tree:add_le(f.arg1, tvb(24, 4))
        tree:add_le(f.query_length, tvb(28, 4))
        tree:add_le(f.query_code, tvb(32, 4))
        add_trailing(tree, tvb, 36)
        return string.format(" code %d, %d bytes", word(tvb, 32), word(tvb, 28))
    end
    if req.set then
        tree:add_le(f.arg1, tvb(24, 4))
        tree:add_le(f.set_first, tvb(28, 4))
        tree:add_le(f.set_second, tvb(32, 4))
        add_trailing(tree, tvb, 36)
        return string.format(" %d, %d", word(tvb, 28), word(tvb, 32))
    end
    return ""
end

local function raw_body(tree, tvb, answer)
    tree:add_le(f.payload_magic, tvb(0, 4))
    tree:add_le(f.raw_length, tvb(4, 4))
    tree:add_le(f.raw_seq, tvb(8, 4))
    tree:add_le(f.raw_word, tvb(12, 4))
    tree:add_le(f.raw_word, tvb(16, 4))
    tree:add_le(f.raw_word, tvb(20, 4))
    local args = tree:add(tvb(24, 36), answer and "Results" or "Arguments")
    for i = 0, 8 do args:add_le(f.raw_arg, tvb(24 + 4 * i, 4)) end
    tree:add_le(f.raw_word, tvb(60, 4))
    return string.format(" seq %d", word(tvb, 8))
end

-- An acknowledge's payload, read for the request it answers (when known).
local function answer_body(tree, tvb, req, info)
    local len = tvb:len()
    if req and req.bus and req.name == "bus read" and len >= 36 then
        tree:add_le(f.reg_value, tvb(32, 4))
        local item = tree:add(f.bus_value, tvb(32, 1))
        if info.flash_read then item:append_text(" (" .. info.flash_read .. ")") end
        return string.format(" 0x%02X", tvb(32, 1):uint()) .. (info.flash_read and (" [" .. info.flash_read .. "]") or "")
    end
    if req and req.reg and req.read then
        local n = math.min(req.pairs, math.floor((len - 32) / 4))
        for i = 0, n - 1 do
            local item = tree:add_le(f.reg_value, tvb(32 + 4 * i, 4))
            if req.addresses[i + 1] then item:prepend_text(string.format("[0x%08X] ", req.addresses[i + 1])) end
        end
        if n >= 1 then return string.format(" 0x%08X%s", word(tvb, 32), n > 1 and " ..." or "") end
        return ""
    end
    if req and req.block then
        for i = 0, math.min(23, math.floor((len - 32) / 4) - 1) do tree:add_le(f.block_word, tvb(32 + 4 * i, 4)) end
        return ""
    end
    if req and req.query then
        tree:add(f.query_status, tvb(24, 1))
        if len >= 36 then tree:add_le(f.query_code, tvb(32, 4)) end
        if len > 48 then tree:add(f.query_data, tvb(48)) end
        return string.format(" status %d", tvb(24, 1):uint())
    end
    if len > 32 then tree:add(f.trailing, tvb(32)) end
    return ""
end

-- Analysis results on the tree: for a request, its answer; for an answer, its request.
local function show_request_analysis(tree, r)
    if r.answer then
        gen(tree, f.response_in, r.answer)
        gen(tree, f.rtt, nstime(r.rtt))
    end
    if r.want then gen(tree, f.expected_len, r.want) end
    if r.unanswered then
        gen(tree, f.unanswered, true)
        local text = r.incomplete and string.format("Only %d of the %d answer bytes came before the next request (frame %d)", r.got, r.want, r.unanswered)
            or string.format("No answer before the next request (frame %d)", r.unanswered)
        tree:add_proto_expert_info(e.unanswered, text)
    end
    if r.raw_silent then
        tree:add_proto_expert_info(e.raw_unanswered, "No answer before the next request (a raw command sent without receive has none)")
    end
    if r.late_answer then gen(tree, f.late_answer_in, r.late_answer) end
end

local function show_answer_analysis(tree, a, info)
    if a.req then
        gen(tree, f.request_in, a.req.frame)
        gen(tree, f.rtt, nstime(a.rtt))
        if a.req.want then gen(tree, f.expected_len, a.req.want) end
        if #a.req.parts > 1 or (a.req.want and a.req.got < a.req.want) then gen(tree, f.part, a.part) end
        if a.part and a.part > 1 and not a.wrong then
            tree:add_proto_expert_info(e.split, string.format("Part %d of the answer to frame %d", a.part, a.req.frame))
        end
    end
    if a.late_for then
        gen(tree, f.late_for, a.late_for)
        gen(tree, f.rtt, nstime(a.rtt))
    end
    if a.stale then gen(tree, f.stale, true) end
    if a.late then
        gen(tree, f.late, true)
        local text = string.format("Answer came %.3f s after its request (frame %d), past the %d s wait", a.rtt,
            a.req and a.req.frame or a.late_for, ANSWER_WAIT)
        if a.while_waiting then
            text = text .. string.format("; it came while frame %d waited for its answer", a.while_waiting)
        end
        tree:add_proto_expert_info(e.late, text)
    elseif a.late_for then
        tree:add_proto_expert_info(e.stale, string.format("Answer to frame %d came %.3f s after it, once the next request was out", a.late_for, a.rtt))
    end
    if a.duplicate_of then
        gen(tree, f.duplicate_of, a.duplicate_of)
        tree:add_proto_expert_info(e.duplicate, string.format("Duplicate answer: the same bytes as frame %d", a.duplicate_of))
    end
    if a.unexpected then
        tree:add_proto_expert_info(e.stale, "Answer while no request waits")
    end
    if a.wrong then
        tree:add_proto_expert_info(e.wrong_length, string.format(
            "Answer of %d bytes; its request (frame %d, %s) wants %d", a.wrong.got, a.req.frame, a.req.name, a.wrong.want))
    end
    if info.short then
        tree:add_proto_expert_info(e.wrong_length, string.format(
            "Answer of %d bytes; its request (frame %d, %s) wants %d", info.short.got, a.req.frame, a.req.name, info.short.want))
    end
    if info.other_source then
        tree:add_proto_expert_info(e.other_source, "Answer from " .. info.other_source .. ", not the port the request went to")
    end
end

----------------------------------------------------------------------------
-- Roles: which side is the client, and what a datagram is

local function endpoint(addr, port) return tostring(addr) .. ":" .. port end

local function port_at(i) return (vrn.prefs.base_port + i) % 65536 end

-- "request", "answer", "stream" or "idle", and the client's endpoint.
local function role_of(tvb, pinfo)
    local src, dst = endpoint(pinfo.src, pinfo.src_port), endpoint(pinfo.dst, pinfo.dst_port)
    if pinfo.dst_port == port_at(1) then return "request", src end
    if pinfo.src_port == port_at(1) then return "answer", dst end
    for i = 2, 3 do
        if pinfo.dst_port == port_at(i) or pinfo.src_port == port_at(i) then return "stream", nil, i end
    end
    if pinfo.dst_port == port_at(0) or pinfo.src_port == port_at(0) then return "idle", nil end
    -- Another port: an answer from another port or address, or a capture on other ports.
    if convs[dst] then return "answer", dst end
    if convs[src] then return "request", src end
    if is_framed(tvb) and tvb:len() >= 16 then
        if word(tvb, 12) % 16 == 3 then return "answer", dst end
        return "request", src
    end
    local pair = src < dst and src .. "|" .. dst or dst .. "|" .. src
    senders[pair] = senders[pair] or src
    if senders[pair] == src then return "request", src end
    return "answer", dst
end

-- The first pass: roles, pairing, flash state. Kept per frame number.
local function analyse(tvb, pinfo)
    local info = {}
    local role, client, port = role_of(tvb, pinfo)
    info.role, info.client, info.port = role, client, port
    local now = pinfo.abs_ts
    if role == "request" then
        local c = conv_for(client)
        local req = identify_request(tvb)
        info.command_port = endpoint(pinfo.dst, pinfo.dst_port)
        local r = on_request(c, info, req, now, pinfo.number)
        if req and req.bus and tvb:len() >= req.min then
            local address = word(tvb, 32)
            local step = vrn.prefs.chip_width == 16 and 4 or 2
            if req.name == "bus write" then
                info.flash_meaning, info.flash_is_cmd = flash_write(c.flash, tvb(40, 1):uint())
            else
                info.flash_read = flash_read(c.flash, math.floor(address / step))
                r.flash_read = info.flash_read
            end
        end
        if req and (req.chan == 0x1300 or req.chan == 0x1400) and tvb:len() >= req.min then
            -- The channels open from the open to the close; a capture taken at
            -- either end may show a chunk after the stop that followed it.
            local ip = tostring(pinfo.src)
            streams[ip] = streams[ip] or {}
            if req.chan == 0x1300 then
                streams[ip][word(tvb, 32) == 4 and 0 or 1] = word(tvb, 36)
            else
                streams[ip][word(tvb, 28)] = nil
            end
        end
    elseif role == "answer" then
        local c = conv_for(client)
        -- The client sends its next request where this answer came from.
        local from = endpoint(pinfo.src, pinfo.src_port)
        if c.cur and c.cur.to ~= from then info.other_source = from end
        on_answer(c, info, tvb:reported_len(), tostring(tvb:bytes()), now, pinfo.number)
        if info.ans.req then info.flash_read = info.ans.req.flash_read end
    elseif role == "stream" then
        -- Stream chunks go on the port of their channel's direction; the
        -- bulk transfers use the socket of the read port.
        local to_module = pinfo.dst_port == port_at(port)
        local ip = tostring(to_module and pinfo.src or pinfo.dst)
        local open = streams[ip] and streams[ip][port - 2]
        if port == 2 then
            info.stream = to_module and "bulk send" or (open and "read stream chunk" or "bulk receive")
        else
            info.stream = to_module and (open and "write stream chunk" or "bulk send (write port)")
                or "datagram from the module on the write port"
        end
    end
    return info
end

----------------------------------------------------------------------------
-- The dissector

-- A framed datagram (both magics); returns the info text.
local function decode_framed(root, tvb, info, answer)
    local len = tvb:len()
    add_header(root, tvb)
    local ptype = len >= 16 and word(tvb, 12) or nil
    local is_ack = ptype ~= nil and ptype % 16 == 3
    gen(root, f.kind, is_ack and "acknowledge" or "request")
    if len < 32 then
        malformed(root, tvb, string.format("%d bytes: shorter than the packet header and payload head (32)", len))
        return string.format("%s cut short (%d bytes)", answer and "Answer" or "Request", len)
    end
    local pmagic = word(tvb, 16)
    root:add_le(f.payload_magic, tvb(16, 4))
    add_command_word(root, tvb, pmagic == REG_MAGIC)
    if not answer then
        local req = identify_request(tvb)
        if not req then
            root:add_le(f.arg1, tvb(24, 4))
            root:add_le(f.arg2, tvb(28, 4))
            malformed(root, tvb, string.format("No command of this protocol: payload_magic 0x%08X, command_word 0x%08X",
                pmagic, word(tvb, 20)))
            return "Unknown request"
        end
        gen(root, f.command, req.name)
        local body = request_body(root, tvb, req, info)
        return req.name:gsub("^%l", string.upper) .. body
    end
    if not FAMILY[pmagic] then
        root:add_tvb_expert_info(e.bad_ack, tvb(16, 4), string.format(
            "Unknown payload_magic 0x%08X: the client refuses this answer", pmagic))
    end
    if not is_ack then
        root:add_tvb_expert_info(e.bad_ack, tvb(12, 4), string.format(
            "packet_type 0x%X: the low 4 bits are not 3, the client refuses this answer", ptype))
    end
    root:add_le(f.arg1, tvb(24, 4))
    root:add_le(f.arg2, tvb(28, 4))
    local a = info.ans
    local r = a and (a.req or a.late_req or a.dup_req)
    if r then gen(root, f.command, r.name) end
    local note = ""
    if a and a.late_for then
        note = string.format(" [late, for frame %d]", a.late_for)
    elseif a and a.duplicate_of then
        note = string.format(" [duplicate of frame %d]", a.duplicate_of)
    elseif a and a.unexpected then
        note = " [no request waiting]"
    end
    return "Answer" .. (r and (" " .. r.name) or "") .. answer_body(root, tvb, r and r.desc, info) .. note
end

local function decode(tvb, pinfo, tree)
    local info = frames[pinfo.number]
    if not pinfo.visited or not info then
        info = analyse(tvb, pinfo)
        frames[pinfo.number] = info
    end
    pinfo.cols.protocol:set("VRN")
    local root = tree:add(vrn, tvb())
    local len = tvb:len()
    if frame_cut then
        root:add_proto_expert_info(e.cut, string.format(
            "Cut by the capture: %d of its %d bytes captured; the rest is not decoded", len, tvb:reported_len()))
    end

    if info.role == "stream" then
        gen(root, f.kind, info.stream)
        gen(root, f.stream_len, len)
        if len > 0 then root:add(f.stream_data, tvb()) end
        pinfo.cols.info:set(string.format("%s, %d bytes", info.stream:gsub("^%l", string.upper), len))
        return
    end
    if info.role == "idle" then
        root:add_proto_expert_info(e.idle_port)
        pinfo.cols.info:set(string.format("Datagram on the base port, %d bytes", len))
        return
    end

    local answer = info.role == "answer"
    gen(root, f.answer, answer)
    local a = info.ans
    -- An answer in several datagrams is read whole at its last part.
    local whole = tvb
    if a and a.reassembled then whole = ByteArray.new(a.reassembled):tvb("Reassembled answer") end

    local text
    if a and a.partial then
        gen(root, f.kind, "answer part")
        root:add(f.stream_data, tvb())
        text = string.format("Answer part %d to frame %d (%d bytes)", a.part, a.req.frame, len)
    elseif same_words(whole, PROBE) or same_words(whole, TEST_PATTERN) then
        local probe = same_words(whole, PROBE)
        root:add(probe and f.probe or f.test_pattern, whole())
        text = (probe and "Echo probe" or "Test pattern") .. (answer and " echoed" or "")
        gen(root, f.kind, probe and "echo probe" or "test pattern")
        gen(root, f.command, probe and "echo probe" or "test pattern")
    elseif is_raw(whole) then
        gen(root, f.kind, answer and "raw command answer" or "raw command")
        gen(root, f.command, "raw command")
        text = (answer and "Raw command answer" or "Raw command") .. raw_body(root, whole, answer)
    elseif is_framed(whole) then
        text = decode_framed(root, whole, info, answer)
    else
        malformed(root, tvb, string.format("%d bytes: not a datagram of this protocol (no magics)", len))
        text = string.format("Not a VRN datagram (%d bytes)", len)
    end

    if info.req then show_request_analysis(root, info.req) end
    if a then show_answer_analysis(root, a, info) end
    pinfo.cols.info:set(text)
end

function vrn.dissector(tvb, pinfo, tree)
    frame_cut = tvb:reported_len() > tvb:len()
    local ok, err = pcall(decode, tvb, pinfo, tree)
    if not ok and frame_cut then
        tree:add(vrn, tvb()):add_proto_expert_info(e.cut, "Cut by the capture: decoded as far as it goes")
    elseif not ok then
        pinfo.cols.info:set("VRN datagram that cannot be decoded")
        tree:add(vrn, tvb()):add_proto_expert_info(e.malformed, "Cannot be decoded: " .. tostring(err))
    end
    return tvb:len()
end

----------------------------------------------------------------------------
-- Registration: the base port's four ports, and a heuristic for the rest

local udp_port = DissectorTable.get("udp.port")
local registered_base = nil

local function register_ports()
    if registered_base then
        for i = 0, 3 do udp_port:remove((registered_base + i) % 65536, vrn) end
    end
    registered_base = vrn.prefs.base_port
    for i = 0, 3 do udp_port:add(port_at(i), vrn) end
end
register_ports()

function vrn.prefs_changed()
    if registered_base ~= vrn.prefs.base_port then register_ports() end
end

-- Ours: both magics, the probe or the test pattern, or any datagram to or
-- from a client already seen (an answer's second part, say, after the
-- client followed an answer to another port).
local function heuristic(tvb, pinfo, tree)
    local ours = frames[pinfo.number] ~= nil or is_framed(tvb) or same_words(tvb, PROBE) or
        same_words(tvb, TEST_PATTERN) or convs[endpoint(pinfo.src, pinfo.src_port)] ~= nil or
        convs[endpoint(pinfo.dst, pinfo.dst_port)] ~= nil
    if not ours then return false end
    vrn.dissector(tvb, pinfo, tree)
    return true
end
vrn:register_heuristic("udp", heuristic)
