-- Wireshark dissector for the dispenser's RS-485 controller line: polls of the
-- charging controller (0x11 gun A, 0x12 gun B), its replies with one command each,
-- the terminal's responses A and B, and the lock/aux/temperature board (0x13).
--
-- Capture format: link type DLT_USER0 (147). Every packet is one frame as it crossed
-- the line, behind a one-byte header:
--   byte 0  direction: 0 sent by the terminal (the line's master),
--                      1 sent by a device (controller or board),
--                      2 unknown (a passive capture; told from content and order)
--                      3 noise: part of a run of bytes longer than any frame with no
--                        frame in it (scripts/rs485_capture.py, up to 128 bytes each)
--   byte 1… the frame bytes: address, complement, length L, body, CRC (low byte first)
-- The simulator (line.pcap) and scripts/rs485_capture.py write this format.
--
-- Load with: tshark -X lua_script:tools/wireshark/tcu_line.lua -r line.pcap
-- or copy the file into the personal Lua plugins folder.

local p_line = Proto("tculine", "Dispenser controller line (RS-485)")

local DIRS = { [0] = "terminal to devices", [1] = "device to terminal", [2] = "unknown (passive capture)",
    [3] = "line noise (passive capture)" }
local DIR_NOISE = 3
local ADDRS = { [0x11] = "controller, gun A", [0x12] = "controller, gun B", [0x13] = "lock/aux/temperature board" }
local KINDS = {
    [0] = "Not a frame", [1] = "Poll", [2] = "Controller reply", [3] = "Response A",
    [4] = "Response B", [5] = "Board read", [6] = "Board write", [7] = "Board reply",
}
local CMDS = {
    [0] = "NoOperation (status report)", [1] = "Allocate", [2] = "Deallocate",
    [3] = "SetVoltCurr", [4] = "Startup", [5] = "Poweroff", [6] = "CloseOutContactor",
    [7] = "DisconnectOutContactor", [8] = "LockGun", [9] = "UnlockGun",
    [10] = "TurnOnAuxPower", [11] = "TurnOffAuxPower", [14] = "Acknowledge only",
    [15] = "SetHiLowVoltMode", [100] = "QueryOutContactor", [101] = "QueryPowerAlloc",
    [102] = "QueryGunLockState", [103] = "QueryAuxPowerState", [104] = "QueryOutVoltage",
    [105] = "QueryHiLowVoltMode",
}
local STAGES = {
    [0] = "AST_IDLE", [1] = "AST_FAULT", [2] = "AST_PLUGIN", [3] = "AST_FAULT_PLUGIN",
    [4] = "AST_START", [5] = "AST_INSULATION_CHECK", [6] = "AST_PRECHARGE",
    [7] = "AST_CHARGING", [8] = "AST_END",
}
local GUN_TYPES = { [1] = "type 1 (register code 4)", [2] = "type 2 (register code 1)" }
local LOCK_CTRL = { [0] = "lock", [1] = "unlock", [2] = "no command" }
local AUX_CTRL = { [0] = "on", [1] = "off", [2] = "no command" }
local LOCK_STATE = { [0] = "locked", [1] = "unlocked" }
local AUX_STATE = { [0] = "on", [1] = "off" }
local RW = { [0] = "read", [1] = "write" }
local CRC_STATUS = { [0] = "Bad", [1] = "Good", [2] = "Not present" }

local F = {
    direction = ProtoField.uint8("tculine.direction", "Direction", base.DEC, DIRS),
    kind = ProtoField.uint8("tculine.kind", "Frame kind", base.DEC, KINDS),
    addr = ProtoField.uint8("tculine.addr", "Address", base.HEX, ADDRS),
    addr_not = ProtoField.uint8("tculine.addr_complement", "Address complement", base.HEX),
    length = ProtoField.uint8("tculine.length", "Length", base.DEC),
    gun = ProtoField.string("tculine.gun", "Gun"),
    frame_type = ProtoField.uint8("tculine.frame_type", "Frame type byte", base.DEC,
        { [0] = "poll", [1] = "response" }),
    stat1 = ProtoField.uint8("tculine.poll.stat1", "Status byte 1", base.DEC),
    stat2 = ProtoField.uint8("tculine.poll.stat2", "Status byte 2", base.DEC),
    alloc5 = ProtoField.uint8("tculine.poll.allocated", "Allocated power / 5 (low 8 bits)", base.DEC),
    seq = ProtoField.uint8("tculine.seq", "Sequence", base.DEC),
    cmd = ProtoField.uint8("tculine.cmd", "Command", base.DEC, CMDS),
    more = ProtoField.uint8("tculine.more", "More commands", base.DEC),
    max_current = ProtoField.float("tculine.max_current", "Maximum current (A)"),
    current = ProtoField.float("tculine.current", "Present current (A)"),
    voltage = ProtoField.float("tculine.voltage", "Present voltage (V)"),
    total_energy = ProtoField.uint32("tculine.total_energy", "Total energy", base.UNIT_STRING, { " Wh" }),
    charge_energy = ProtoField.uint32("tculine.charge_energy", "Energy of the present charge", base.UNIT_STRING,
        { " (controller units)" }),
    stage = ProtoField.uint8("tculine.stage", "Charging stage", base.DEC, STAGES),
    gun_type = ProtoField.uint8("tculine.gun_type", "Gun type", base.DEC, GUN_TYPES),
    alloc_power = ProtoField.uint16("tculine.allocated_power", "Allocated power (controller units)", base.DEC),
    set_voltage = ProtoField.float("tculine.set_voltage", "Requested voltage (V)"),
    set_current = ProtoField.float("tculine.set_current", "Requested current (A)"),
    aux_param = ProtoField.uint8("tculine.aux_param", "Auxiliary-power parameter (not interpreted)", base.DEC),
    volt_mode = ProtoField.uint8("tculine.low_volt_mode", "Low-voltage mode", base.DEC),
    params = ProtoField.bytes("tculine.params", "Parameters"),
    result = ProtoField.uint8("tculine.result", "Result", base.DEC),
    data = ProtoField.uint16("tculine.data", "Query data", base.HEX),
    k1 = ProtoField.uint8("tculine.data.k1", "Contactor K1", base.DEC),
    k2 = ProtoField.uint8("tculine.data.k2", "Contactor K2", base.DEC),
    data_flag = ProtoField.bool("tculine.data.flag", "Yes (low byte 1)"),
    out_voltage = ProtoField.float("tculine.data.voltage", "Output voltage (V)"),
    board_op = ProtoField.bytes("tculine.board.op", "Board operation"),
    rw = ProtoField.uint8("tculine.board.rw", "Read/write", base.DEC, RW),
    ctl_lock_a = ProtoField.uint8("tculine.board.lock_ctrl_a", "Gun A lock control", base.DEC, LOCK_CTRL),
    ctl_lock_b = ProtoField.uint8("tculine.board.lock_ctrl_b", "Gun B lock control", base.DEC, LOCK_CTRL),
    ctl_aux_a = ProtoField.uint8("tculine.board.aux_ctrl_a", "Gun A aux-power control", base.DEC, AUX_CTRL),
    ctl_aux_b = ProtoField.uint8("tculine.board.aux_ctrl_b", "Gun B aux-power control", base.DEC, AUX_CTRL),
    temp = ProtoField.uint8("tculine.board.temperature", "Temperature byte", base.DEC),
    emergency = ProtoField.uint8("tculine.board.emergency", "Emergency state", base.HEX,
        { [0x7F] = "emergency stop" }),
    link_a = ProtoField.uint8("tculine.board.link_a", "Gun A link state", base.DEC),
    link_b = ProtoField.uint8("tculine.board.link_b", "Gun B link state", base.DEC),
    lock_a = ProtoField.uint8("tculine.board.lock_a", "Gun A lock state", base.DEC, LOCK_STATE),
    lock_b = ProtoField.uint8("tculine.board.lock_b", "Gun B lock state", base.DEC, LOCK_STATE),
    aux_a = ProtoField.uint8("tculine.board.aux_a", "Gun A aux-power state", base.DEC, AUX_STATE),
    aux_b = ProtoField.uint8("tculine.board.aux_b", "Gun B aux-power state", base.DEC, AUX_STATE),
    crc = ProtoField.uint16("tculine.crc", "CRC", base.HEX),
    crc_status = ProtoField.uint8("tculine.crc.status", "CRC status", base.DEC, CRC_STATUS),
    crc_calc = ProtoField.uint16("tculine.crc.computed", "Computed CRC", base.HEX),
    trailing = ProtoField.bytes("tculine.trailing", "Bytes after the frame"),
    noise = ProtoField.bytes("tculine.noise", "Bytes that are not a frame"),
    response_in = ProtoField.framenum("tculine.response_in", "Answered in", base.NONE, frametype.RESPONSE),
    response_to = ProtoField.framenum("tculine.response_to", "Answer to", base.NONE, frametype.REQUEST),
    time = ProtoField.relative_time("tculine.time", "Answer time"),
    ack_in = ProtoField.framenum("tculine.ack_in", "Command acknowledged in", base.NONE, frametype.RESPONSE),
    ack_to = ProtoField.framenum("tculine.ack_to", "Acknowledges the command in", base.NONE, frametype.REQUEST),
    ack_time = ProtoField.relative_time("tculine.ack_time", "Command execution time"),
}
local fields = {}
for _, f in pairs(F) do fields[#fields + 1] = f end
p_line.fields = fields

local E = {
    short = ProtoExpert.new("tculine.short", "Frame cut short: fewer bytes than its length byte announces",
        expert.group.MALFORMED, expert.severity.ERROR),
    noise = ProtoExpert.new("tculine.noise", "Not a frame start: byte 1 is not the complement of byte 0 (noise)",
        expert.group.PROTOCOL, expert.severity.WARN),
    bad_len = ProtoExpert.new("tculine.bad_length", "Impossible length: a frame holds at most 128 bytes",
        expert.group.MALFORMED, expert.severity.ERROR),
    bad_crc = ProtoExpert.new("tculine.bad_crc", "Bad CRC", expert.group.CHECKSUM, expert.severity.WARN),
    trailing = ProtoExpert.new("tculine.trailing", "Bytes after the end of the frame",
        expert.group.PROTOCOL, expert.severity.WARN),
    noise_run = ProtoExpert.new("tculine.noise_run", "Line noise: part of a run longer than any frame, no frame in it",
        expert.group.PROTOCOL, expert.severity.WARN),
    no_header = ProtoExpert.new("tculine.no_header", "Packet without the direction byte",
        expert.group.MALFORMED, expert.severity.ERROR),
    unsupported = ProtoExpert.new("tculine.unsupported", "Command code the terminal does not support",
        expert.group.PROTOCOL, expert.severity.NOTE),
    body_short = ProtoExpert.new("tculine.body_short", "Body too short for this frame kind",
        expert.group.MALFORMED, expert.severity.ERROR),
    no_answer = ProtoExpert.new("tculine.no_answer", "No answer before the next request",
        expert.group.SEQUENCE, expert.severity.NOTE),
}
local experts = {}
for _, e in pairs(E) do experts[#experts + 1] = e end
p_line.experts = experts

-- CRC-16/MODBUS: initial 0xFFFF, reflected polynomial 0xA001, no final XOR.
local band, bxor, rshift = bit32.band, bit32.bxor, bit32.rshift
local function crc16(tvb, off, len)
    local crc = 0xFFFF
    for i = off, off + len - 1 do
        crc = bxor(crc, tvb(i, 1):uint())
        for _ = 1, 8 do
            if band(crc, 1) ~= 0 then crc = bxor(rshift(crc, 1), 0xA001) else crc = rshift(crc, 1) end
        end
    end
    return crc
end

-- Request/answer matching, computed on the first pass in frame order and kept per
-- frame for every later pass (tshark -2, the GUI).
local match = {}     -- frame number -> { response_in, response_to, time, ack_in, ack_to, ack_time, kind }
local state = {}     -- first-pass state of the line
local function reset_state()
    match = {}
    state = { request = nil, command = nil, last_kind = nil }
end
reset_state()
function p_line.init() reset_state() end

local function m(n)
    local e = match[n]
    if not e then e = {}; match[n] = e end
    return e
end

-- Frame kind from its content and who sent it (dir 0 master, 1 device, 2 unknown).
local function classify(tvb, off, n, dir, addr, len)
    local b3 = n > 3 and tvb(off + 3, 1):uint() or nil
    if addr == 0x13 then
        if len == 8 and b3 == 0x42 and dir ~= 1 then
            local rw = n > 6 and tvb(off + 6, 1):uint() or 0
            return rw == 1 and 6 or 5
        end
        if dir ~= 0 then return 7 end
        return 5
    end
    if dir == 0 then
        if b3 == 0 then return 1 end
        if len == 6 then return 4 end
        return 3
    end
    if dir == 1 then return 2 end
    -- Unknown direction: a poll is L 4 with frame type 0; response B is the only
    -- L 6 frame; L 4 with type 1 is a response A when a command awaits one.
    if len == 4 and b3 == 0 then return 1 end
    if len == 6 and b3 == 1 then return 4 end
    if len == 4 and b3 == 1 and state.command and state.command.addr == addr then return 3 end
    return 2
end

local function add_float(tree, field, range, raw, scale)
    return tree:add(field, range, raw / scale)
end

local function dissect_reply(tvb, off, len, tree, pinfo, body_end)
    -- body starts at off+3; seq at +3, cmd at +4, parameters from +5
    local have = body_end - off
    local function has(k, w) return off + k + w <= body_end end
    if not has(3, 1) then tree:add_proto_expert_info(E.body_short); return nil end
    tree:add(F.seq, tvb(off + 3, 1))
    if not has(4, 1) then tree:add_proto_expert_info(E.body_short); return nil end
    local cmd = tvb(off + 4, 1):uint()
    local ci = tree:add(F.cmd, tvb(off + 4, 1))
    if not CMDS[cmd] then ci:add_proto_expert_info(E.unsupported) end
    local info = "cmd " .. cmd .. " " .. (CMDS[cmd] or "unsupported")
    if cmd == 0 then
        local L = len
        if L > 15 and has(5, 14) then
            add_float(tree, F.max_current, tvb(off + 5, 2), tvb(off + 5, 2):uint(), 10)
            local cur = tvb(off + 7, 2):uint() / 10
            local volt = tvb(off + 9, 2):uint() / 10
            tree:add(F.current, tvb(off + 7, 2), cur)
            tree:add(F.voltage, tvb(off + 9, 2), volt)
            tree:add(F.total_energy, tvb(off + 11, 4))
            tree:add(F.charge_energy, tvb(off + 15, 4))
            info = info .. string.format(", %.1f V %.1f A, %d Wh", volt, cur, tvb(off + 11, 4):uint())
        elseif L > 15 then
            tree:add_proto_expert_info(E.body_short)
        end
        if L > 17 and has(19, 2) then
            local st = tvb(off + 19, 1):uint()
            tree:add(F.stage, tvb(off + 19, 1))
            tree:add(F.gun_type, tvb(off + 20, 1))
            info = info .. ", " .. (STAGES[st] or ("stage " .. st))
        end
    elseif cmd == 1 then
        if has(5, 2) then
            tree:add(F.alloc_power, tvb(off + 5, 2))
            info = info .. " " .. tvb(off + 5, 2):uint()
        else
            tree:add_proto_expert_info(E.body_short)
        end
        if has(7, 1) then tree:add(F.more, tvb(off + 7, 1)) end
    elseif cmd == 3 then
        if has(5, 4) then
            local v = tvb(off + 5, 2):uint() / 10
            local i = tvb(off + 7, 2):uint() / 10
            tree:add(F.set_voltage, tvb(off + 5, 2), v)
            tree:add(F.set_current, tvb(off + 7, 2), i)
            info = info .. string.format(" %.1f V %.1f A", v, i)
        else
            tree:add_proto_expert_info(E.body_short)
        end
        if has(9, 1) then tree:add(F.more, tvb(off + 9, 1)) end
    elseif cmd == 10 or cmd == 11 or cmd == 15 then
        if has(5, 1) then
            tree:add(cmd == 15 and F.volt_mode or F.aux_param, tvb(off + 5, 1))
        end
        if has(6, 1) then tree:add(F.more, tvb(off + 6, 1)) end
    elseif CMDS[cmd] then
        if has(5, 1) then tree:add(F.more, tvb(off + 5, 1)) end
    elseif has(5, 1) then
        tree:add(F.params, tvb(off + 5, body_end - off - 5))
    end
    return cmd, info
end

local function dissect_response(tvb, off, len, tree, kind, body_end)
    local function has(k, w) return off + k + w <= body_end end
    if not has(6, 1) then tree:add_proto_expert_info(E.body_short); return nil end
    tree:add(F.frame_type, tvb(off + 3, 1))
    tree:add(F.seq, tvb(off + 4, 1))
    tree:add(F.cmd, tvb(off + 5, 1))
    tree:add(F.result, tvb(off + 6, 1))
    local cmd = tvb(off + 5, 1):uint()
    local info = string.format("seq %d cmd %d %s res %d", tvb(off + 4, 1):uint(), cmd,
        CMDS[cmd] or "?", tvb(off + 6, 1):uint())
    if kind == 4 and has(7, 2) then
        local d = tvb(off + 7, 2):uint()
        local di = tree:add(F.data, tvb(off + 7, 2))
        if cmd == 100 then
            di:add(F.k1, tvb(off + 7, 1))
            di:add(F.k2, tvb(off + 8, 1))
        elseif cmd == 101 then
            di:append_text(" (allocated power " .. d .. ")")
        elseif cmd == 102 or cmd == 103 or cmd == 105 then
            di:add(F.data_flag, tvb(off + 8, 1), band(d, 0xFF) == 1)
        elseif cmd == 104 then
            di:add(F.out_voltage, tvb(off + 7, 2), d / 10)
        end
        info = info .. string.format(" data 0x%04X", d)
    end
    return cmd, info
end

local function dissect_board(tvb, off, len, tree, kind, body_end)
    local function has(k, w) return off + k + w <= body_end end
    if kind == 7 then
        if not has(3, 13) then tree:add_proto_expert_info(E.body_short); return "board reply" end
        for i = 0, 5 do tree:add(F.temp, tvb(off + 3 + i, 1)) end
        local emg = tvb(off + 9, 1):uint()
        tree:add(F.emergency, tvb(off + 9, 1))
        tree:add(F.link_a, tvb(off + 10, 1))
        tree:add(F.link_b, tvb(off + 11, 1))
        tree:add(F.lock_a, tvb(off + 12, 1))
        tree:add(F.lock_b, tvb(off + 13, 1))
        tree:add(F.aux_a, tvb(off + 14, 1))
        tree:add(F.aux_b, tvb(off + 15, 1))
        return string.format("board reply: link %d/%d lock %d/%d aux %d/%d%s", tvb(off + 10, 1):uint(),
            tvb(off + 11, 1):uint(), tvb(off + 12, 1):uint(), tvb(off + 13, 1):uint(),
            tvb(off + 14, 1):uint(), tvb(off + 15, 1):uint(), emg == 0x7F and ", EMERGENCY STOP" or "")
    end
    if not has(3, 8) then tree:add_proto_expert_info(E.body_short); return "board request" end
    tree:add(F.board_op, tvb(off + 3, 3))
    tree:add(F.rw, tvb(off + 6, 1))
    tree:add(F.ctl_lock_a, tvb(off + 7, 1))
    tree:add(F.ctl_lock_b, tvb(off + 8, 1))
    tree:add(F.ctl_aux_a, tvb(off + 9, 1))
    tree:add(F.ctl_aux_b, tvb(off + 10, 1))
    if kind == 6 then
        return string.format("board write: lock A %s B %s, aux A %s B %s",
            LOCK_CTRL[tvb(off + 7, 1):uint()] or "?", LOCK_CTRL[tvb(off + 8, 1):uint()] or "?",
            AUX_CTRL[tvb(off + 9, 1):uint()] or "?", AUX_CTRL[tvb(off + 10, 1):uint()] or "?")
    end
    return "board read"
end

-- First pass: pair each request with the device frame that answers it, and each
-- controller command with the terminal's response A/B that acknowledges it.
local function track(pinfo, kind, addr, seq, cmd)
    local n, t = pinfo.number, pinfo.abs_ts
    if kind == 1 or kind == 5 or kind == 6 then
        state.request = { n = n, t = t, addr = addr }
        state.command = nil
    elseif kind == 2 or kind == 7 then
        local r = state.request
        if r then
            m(r.n).response_in = n
            m(n).response_to = r.n
            m(n).time = t - r.t
            state.request = nil
        end
        if kind == 2 and cmd then state.command = { n = n, t = t, addr = addr, seq = seq, cmd = cmd } end
    elseif kind == 3 or kind == 4 then
        local c = state.command
        if c and c.addr == addr and c.seq == seq and c.cmd == cmd then
            m(c.n).ack_in = n
            m(n).ack_to = c.n
            m(n).ack_time = t - c.t
        end
        state.command = nil
    end
end

local function show_match(pinfo, tree)
    local e = match[pinfo.number]
    if not e then return end
    if e.response_in then tree:add(F.response_in, e.response_in):set_generated() end
    if e.response_to then
        tree:add(F.response_to, e.response_to):set_generated()
        tree:add(F.time, NSTime.new(math.floor(e.time), math.floor((e.time % 1) * 1e9 + 0.5))):set_generated()
    end
    if e.ack_in then tree:add(F.ack_in, e.ack_in):set_generated() end
    if e.ack_to then
        tree:add(F.ack_to, e.ack_to):set_generated()
        tree:add(F.ack_time, NSTime.new(math.floor(e.ack_time), math.floor((e.ack_time % 1) * 1e9 + 0.5)))
            :set_generated()
    end
end

function p_line.dissector(tvb, pinfo, tree)
    pinfo.cols.protocol = "TCU-LINE"
    local total = tvb:len()
    local root = tree:add(p_line, tvb())
    if total < 1 then
        root:add_proto_expert_info(E.no_header)
        return 0
    end
    local dir = tvb(0, 1):uint()
    root:add(F.direction, tvb(0, 1))
    local off, n = 1, total - 1
    if dir == DIR_NOISE then
        -- The capture tool found no frame in these bytes; whatever they resemble, they
        -- are neither a request nor an answer.
        if n > 0 then
            local ni = root:add(F.noise, tvb(off, n))
            ni:add_proto_expert_info(E.noise_run)
        else
            root:add_proto_expert_info(E.noise_run)
        end
        root:add(F.kind, 0):set_generated()
        pinfo.cols.info = string.format("Noise, %d byte(s)", n)
        return total
    end
    if n < 3 then
        if n > 0 then
            local ni = root:add(F.noise, tvb(off, n))
            ni:add_proto_expert_info(E.short)
        else
            root:add_proto_expert_info(E.short)
        end
        pinfo.cols.info = "Fragment of " .. n .. " byte(s)"
        return total
    end
    local addr = tvb(off, 1):uint()
    local comp = tvb(off + 1, 1):uint()
    if band(bit32.bnot(addr), 0xFF) ~= comp then
        local ni = root:add(F.noise, tvb(off, n))
        ni:add_proto_expert_info(E.noise)
        root:add(F.kind, 0):set_generated()
        pinfo.cols.info = string.format("Noise, %d byte(s)", n)
        return total
    end
    local len = tvb(off + 2, 1):uint()
    local flen = len + 5
    local ai = root:add(F.addr, tvb(off, 1))
    root:add(F.addr_not, tvb(off + 1, 1))
    local li = root:add(F.length, tvb(off + 2, 1))
    if addr == 0x11 then root:add(F.gun, "A"):set_generated()
    elseif addr == 0x12 then root:add(F.gun, "B"):set_generated() end
    if flen > 128 then li:add_proto_expert_info(E.bad_len) end
    local complete = n >= flen
    local body_end = off + math.min(n, flen - 2)   -- end of the bytes before the CRC
    if not complete then body_end = off + n end
    -- An inferred kind depends on the frames before it: fixed on the first pass.
    local kind
    local e = match[pinfo.number]
    if dir == 2 and pinfo.visited and e and e.kind then
        kind = e.kind
    else
        kind = classify(tvb, off, n, dir, addr, len)
        if dir == 2 and not pinfo.visited then m(pinfo.number).kind = kind end
    end
    root:add(F.kind, kind):set_generated()
    local info, cmd, seq
    if kind == 2 then
        cmd, info = dissect_reply(tvb, off, len, root, pinfo, body_end)
        seq = off + 3 < body_end and tvb(off + 3, 1):uint() or nil
        info = string.format("Reply %s seq %s, %s", addr == 0x12 and "B" or (addr == 0x11 and "A" or
            string.format("0x%02X", addr)), tostring(seq), info or "")
    elseif kind == 1 then
        if off + 7 <= body_end then
            root:add(F.frame_type, tvb(off + 3, 1))
            root:add(F.stat1, tvb(off + 4, 1))
            root:add(F.stat2, tvb(off + 5, 1))
            root:add(F.alloc5, tvb(off + 6, 1))
            info = string.format("Poll %s, allocated %d x 5", addr == 0x12 and "B" or "A", tvb(off + 6, 1):uint())
        else
            root:add_proto_expert_info(E.body_short)
            info = "Poll"
        end
    elseif kind == 3 or kind == 4 then
        cmd, info = dissect_response(tvb, off, len, root, kind, body_end)
        seq = off + 4 < body_end and tvb(off + 4, 1):uint() or nil
        info = (kind == 3 and "Response A " or "Response B ") .. (info or "")
    else
        info = dissect_board(tvb, off, len, root, kind, body_end)
        info = info:sub(1, 1):upper() .. info:sub(2)
    end
    if complete then
        local crc_range = tvb(off + flen - 2, 2)
        local got = crc_range:le_uint()
        local want = crc16(tvb, off, flen - 2)
        local ci = root:add_le(F.crc, crc_range)
        if got == want then
            root:add(F.crc_status, 1):set_generated()
        else
            ci:append_text(string.format(" [incorrect, should be 0x%04x]", want))
            root:add(F.crc_calc, want):set_generated()
            root:add(F.crc_status, 0):set_generated()
            ci:add_proto_expert_info(E.bad_crc, string.format("Bad CRC 0x%04x, computed 0x%04x", got, want))
            info = info .. " [BAD CRC]"
        end
        if n > flen then
            local ti = root:add(F.trailing, tvb(off + flen, n - flen))
            ti:add_proto_expert_info(E.trailing)
        end
    else
        root:add(F.crc_status, 2):set_generated()
        li:add_proto_expert_info(E.short, string.format("Frame cut short: %d of %d bytes", n, flen))
        info = info .. string.format(" [CUT: %d of %d bytes]", n, flen)
    end
    if not pinfo.visited and complete then
        track(pinfo, kind, addr, seq, cmd)
    end
    show_match(pinfo, root)
    pinfo.cols.info = info
    return total
end

DissectorTable.get("wtap_encap"):add(wtap.USER0, p_line)
