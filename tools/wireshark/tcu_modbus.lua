-- Wireshark dissector for the power unit's Modbus TCP link with the dispenser's
-- terminal. The terminal opens the TCP connection but is the Modbus server: the power
-- unit (at the configured port) sends requests with functions 3, 6 and 16, the
-- terminal answers them and also pushes unsolicited register reports, function 0x41.
-- Every register is named by the terminal's register map; the GOOSE key registers
-- are shown only as set or not set.
--
-- Registered on the port of the preference "tcumb.port" (the configured Modbus port,
-- default 502; it takes that port over from Wireshark's Modbus/TCP dissector). Any
-- other port: Decode As... > TCP port > TCUMB.
--   tshark -X lua_script:tools/wireshark/tcu_modbus.lua -o tcumb.port:1502 -r modbus.pcap

local p_mb = Proto("tcumb", "Dispenser power-unit Modbus TCP")

local FUNCS = {
    [3] = "Read holding registers", [6] = "Write single register", [16] = "Write multiple registers",
    [0x41] = "Register report", [0x83] = "Read holding registers: exception",
    [0x86] = "Write single register: exception", [0x90] = "Write multiple registers: exception",
    [0xC1] = "Function 65: exception", [0xE7] = "Function 103: exception",
}
local EXCEPTIONS = { [1] = "Illegal function", [2] = "Illegal data address", [3] = "Illegal data value" }
local SENDERS = { [0] = "power unit (request)", [1] = "terminal (response or report)" }

local F = {
    sender = ProtoField.uint8("tcumb.sender", "Sent by", base.DEC, SENDERS),
    tid = ProtoField.uint16("tcumb.trans_id", "Transaction identifier", base.DEC),
    proto_id = ProtoField.uint16("tcumb.proto_id", "Protocol identifier", base.DEC),
    length = ProtoField.uint16("tcumb.length", "Length", base.DEC),
    unit = ProtoField.uint8("tcumb.unit", "Unit identifier", base.DEC),
    func = ProtoField.uint8("tcumb.func", "Function", base.HEX, FUNCS),
    exception = ProtoField.uint8("tcumb.exception", "Exception code", base.DEC, EXCEPTIONS),
    start = ProtoField.uint16("tcumb.start", "Start register", base.HEX),
    count = ProtoField.uint16("tcumb.count", "Register count", base.DEC),
    byte_count = ProtoField.uint8("tcumb.byte_count", "Byte count", base.DEC),
    marker = ProtoField.uint8("tcumb.report.marker", "Report marker", base.HEX),
    after = ProtoField.uint8("tcumb.report.bytes_after", "Bytes after this one", base.DEC),
    fixed = ProtoField.bytes("tcumb.report.fixed", "Fixed report bytes"),
    reg = ProtoField.none("tcumb.reg", "Register"),
    reg_addr = ProtoField.uint16("tcumb.reg.addr", "Address", base.HEX),
    reg_name = ProtoField.string("tcumb.reg.name", "Name"),
    reg_value = ProtoField.uint16("tcumb.reg.value", "Value", base.HEX),
    reg_float = ProtoField.float("tcumb.reg.float", "Float value"),
    reg_double = ProtoField.double("tcumb.reg.double", "Double value"),
    reg_mac = ProtoField.ether("tcumb.reg.mac", "MAC address"),
    reg_text = ProtoField.string("tcumb.reg.text", "Text"),
    reg_key = ProtoField.string("tcumb.reg.key", "Key"),
    reg_time = ProtoField.uint32("tcumb.reg.time", "Seconds since 1970", base.DEC),
    data = ProtoField.bytes("tcumb.data", "Data"),
    response_in = ProtoField.framenum("tcumb.response_in", "Answered in", base.NONE, frametype.RESPONSE),
    response_to = ProtoField.framenum("tcumb.response_to", "Answer to", base.NONE, frametype.REQUEST),
    time = ProtoField.relative_time("tcumb.time", "Answer time"),
}
local fields = {}
for _, f in pairs(F) do fields[#fields + 1] = f end
p_mb.fields = fields

local E = {
    bad_len = ProtoExpert.new("tcumb.bad_length", "Impossible MBAP length; the rest of the segment is not decoded",
        expert.group.MALFORMED, expert.severity.ERROR),
    short = ProtoExpert.new("tcumb.short", "Frame shorter than its function needs",
        expert.group.MALFORMED, expert.severity.ERROR),
    count = ProtoExpert.new("tcumb.bad_count", "Register count does not fit the frame length",
        expert.group.MALFORMED, expert.severity.ERROR),
    layout = ProtoExpert.new("tcumb.report_layout", "Report bytes differ from the terminal's fixed layout",
        expert.group.PROTOCOL, expert.severity.WARN),
    proto = ProtoExpert.new("tcumb.proto_id", "Protocol identifier is not 0", expert.group.PROTOCOL,
        expert.severity.WARN),
    unanswered = ProtoExpert.new("tcumb.no_request", "Answer to no request seen", expert.group.SEQUENCE,
        expert.severity.NOTE),
    cut = ProtoExpert.new("tcumb.cut", "Frame cut short (capture ends or reassembly is off)",
        expert.group.MALFORMED, expert.severity.ERROR),
}
local experts = {}
for _, e in pairs(E) do experts[#experts + 1] = e end
p_mb.experts = experts

p_mb.prefs.port = Pref.uint("Modbus TCP port", 502, "The power unit's port (modbus_hw.port in the configuration)")

-- The register map. Items: first address, register count, kind, name.
--   u one register, f float (high word first), d double, mac 3 registers, text N
--   registers, key 24 registers (never shown), time 2 registers (low word first).
local ITEMS = {}
local function item(a, n, kind, name) ITEMS[#ITEMS + 1] = { a = a, n = n, kind = kind, name = name } end
item(0x0000, 1, "u", "constant 2")
item(0x0001, 1, "u", "constant 0x0080")
item(0x0002, 1, "u", "constant 0x0100")
item(0x0004, 1, "text", "constant text \"AB\"")
item(0x0013, 5, "text", "software version")
item(0x1015, 1, "u", "constant 2")
item(0x1016, 9, "text", "terminal identity")
item(0x1024, 2, "time", "current time")
for g, s in pairs({ A = 0x1100, B = 0x1D00 }) do
    local p = "gun " .. g .. " "
    item(s + 0x00, 4, "d", p .. "total energy (kWh)")
    item(s + 0x04, 1, "u", p .. "connector type code")
    item(s + 0x05, 2, "f", p .. "maximum current (A)")
    item(s + 0x07, 2, "f", p .. "output voltage (V)")
    item(s + 0x09, 2, "f", p .. "output current (A)")
    item(s + 0x0B, 1, "u", p .. "work state")
    item(s + 0x0D, 1, "u", p .. "link state")
    item(s + 0x0E, 1, "u", p .. "connector id")
    item(s + 0x13, 2, "f", p .. "voltage at the contactors (V)")
    item(s + 0x4D, 3, "mac", p .. "GOOSE source MAC")
    item(s + 0x54, 1, "u", p .. "contactor state")
    item(s + 0x56, 1, "u", p .. "electronic lock state")
    item(s + 0x7E, 1, "u", p .. "power-on state")
end
for g, w in pairs({ A = 0x2100, B = 0x2D00 }) do
    local p = "gun " .. g .. " "
    item(w + 0x00, 2, "f", p .. "maximum voltage limit (V)")
    item(w + 0x02, 2, "f", p .. "maximum current limit (A)")
    item(w + 0x05, 2, "f", p .. "minimum voltage limit (V)")
    item(w + 0x07, 2, "f", p .. "minimum current limit (A)")
    item(w + 0x09, 2, "f", p .. "fixed power (kW)")
    item(w + 0x11, 3, "mac", p .. "GOOSE destination MAC")
    item(w + 0x15, 24, "key", p .. "GOOSE authentication key")
    item(w + 0x2E, 1, "u", p .. "key trigger (write single)")
    item(w + 0x2F, 1, "u", p .. "constant 1")
end
local BY_ADDR = {}
for _, it in ipairs(ITEMS) do
    for k = 0, it.n - 1 do BY_ADDR[it.a + k] = it end
end

-- Read windows that serve another block's registers again.
local ALIASES = {
    { 0x1200, 0x129F, 0x1100 }, { 0x1400, 0x147F, 0x1100 }, { 0x1500, 0x157F, 0x1100 },
    { 0x2500, 0x252F, 0x2100 }, { 0x2E00, 0x2E2F, 0x2D00 }, { 0x3200, 0x3215, 0x3100 },
}
local function canonical(a)
    for _, w in ipairs(ALIASES) do
        if a >= w[1] and a <= w[2] then return w[3] + (a - w[1]), true end
    end
    return a, false
end

local function plain_name(a)
    if a >= 0x2006 and a <= 0x2015 then return "stored setting (no consumer)" end
    if a >= 0x4000 and a <= 0x40FF then return "free area" end
    local blocks = {
        { 0x0000, 0x002A, "block 0x0000" }, { 0x0100, 0x012A, "block 0x0100" },
        { 0x1000, 0x1025, "block 0x1000" }, { 0x1100, 0x119F, "gun A status" },
        { 0x1D00, 0x1D9F, "gun B status" }, { 0x2000, 0x2016, "block 0x2000" },
        { 0x2100, 0x212F, "gun A settings" }, { 0x2D00, 0x2D2F, "gun B settings" },
        { 0x3000, 0x3004, "block 0x3000" }, { 0x3100, 0x312F, "block 0x3100" },
        { 0x3D00, 0x3D2F, "block 0x3D00" },
    }
    for _, b in ipairs(blocks) do
        if a >= b[1] and a <= b[2] then return string.format("%s [0x%02X]", b[3], a - b[1]) end
    end
    return "not served"
end

local band, rshift = bit32.band, bit32.rshift

-- Registers start..start+n-1 whose values are at tvb offset off (2 bytes each).
local function add_registers(tree, tvb, off, start, n)
    local i = 0
    while i < n do
        local a = band(start + i, 0xFFFF)
        local ca, alias = canonical(a)
        local it = BY_ADDR[ca]
        local r = tvb(off + 2 * i, 2)
        if it and ca == it.a and i + it.n <= n and it.n > 1 then
            -- The whole item is here: one entry with its decoded value.
            local rr = tvb(off + 2 * i, 2 * it.n)
            local t = tree:add(F.reg, rr)
            t:add(F.reg_addr, a):set_generated()
            t:add(F.reg_name, it.name):set_generated()
            local text
            if it.kind == "f" then
                local v = rr:float()
                t:add(F.reg_float, rr, v)
                text = string.format("%g", v)
            elseif it.kind == "d" then
                local v = rr:float()
                t:add(F.reg_double, rr, v)
                text = string.format("%g", v)
            elseif it.kind == "mac" then
                t:add(F.reg_mac, rr)
                text = tostring(rr:ether())
            elseif it.kind == "text" then
                local s = rr:raw():match("^[^%z]*")
                t:add(F.reg_text, rr, s)
                text = '"' .. s .. '"'
            elseif it.kind == "key" then
                local set = false
                for k = 0, 2 * it.n - 1 do if rr(k, 1):uint() ~= 0 then set = true end end
                text = set and "set" or "not set"
                t:add(F.reg_key, rr, text)
            elseif it.kind == "time" then
                local v = rr(0, 2):uint() + rr(2, 2):uint() * 65536
                t:add(F.reg_time, rr, v)
                text = tostring(v)
            end
            t:set_text(string.format("0x%04X-0x%04X %s: %s%s", a, band(a + it.n - 1, 0xFFFF), it.name, text,
                alias and string.format(" (window of 0x%04X)", ca) or ""))
            i = i + it.n
        else
            local t = tree:add(F.reg, r)
            local name
            if it then
                name = it.n > 1 and string.format("%s (register %d of %d)", it.name, ca - it.a + 1, it.n) or it.name
            else
                name = plain_name(ca)
            end
            t:add(F.reg_addr, a):set_generated()
            t:add(F.reg_name, name):set_generated()
            local text
            if it and it.kind == "key" then
                text = r:uint() ~= 0 and "set" or "not set"
                t:add(F.reg_key, r, text)
            else
                t:add(F.reg_value, r)
                text = string.format("0x%04X (%d)", r:uint(), r:uint())
            end
            t:set_text(string.format("0x%04X %s: %s%s", a, name, text,
                alias and string.format(" (window of 0x%04X)", ca) or ""))
            i = i + 1
        end
    end
end

-- Request tracking, first pass: terminal port + transaction id -> request.
local requests, matches = {}, {}
function p_mb.init() requests, matches = {}, {} end

local function reg_count_fits(tree, item, avail, n)
    if avail < 2 * n then
        item:add_proto_expert_info(E.count, string.format("Register count %d needs %d bytes, %d present", n, 2 * n,
            avail))
        return math.floor(avail / 2)
    end
    return n
end

-- One ADU of `total` bytes at off; returns a short text for the Info column.
local function dissect_adu(tvb, pinfo, tree, off, total, from_pu, conv)
    local t = tree:add(p_mb, tvb(off, total))
    t:add(F.sender, from_pu and 0 or 1):set_generated()
    local tid = tvb(off, 2):uint()
    t:add(F.tid, tvb(off, 2))
    local pi = t:add(F.proto_id, tvb(off + 2, 2))
    if tvb(off + 2, 2):uint() ~= 0 then pi:add_proto_expert_info(E.proto) end
    local li = t:add(F.length, tvb(off + 4, 2))
    t:add(F.unit, tvb(off + 6, 1))
    local fc = tvb(off + 7, 1):uint()
    t:add(F.func, tvb(off + 7, 1))
    local body = off + 8
    local left = total - 8
    local key = conv .. ":" .. tid
    local mkey = pinfo.number .. ":" .. off
    local info
    local function need(k)
        if left < k then
            li:add_proto_expert_info(E.short)
            return false
        end
        return true
    end
    if from_pu then
        info = string.format("Request tid %d %s", tid, FUNCS[fc] or string.format("function %d", fc))
        local start, count
        if (fc == 3 or fc == 6 or fc == 16) and need(4) then
            start = tvb(body, 2):uint()
            t:add(F.start, tvb(body, 2))
            if fc == 6 then
                count = 1
                t:add(F.count, 1):set_generated()
                add_registers(t, tvb, body + 2, start, 1)
                info = info .. string.format(" 0x%04X = 0x%04X", start, tvb(body + 2, 2):uint())
            else
                count = tvb(body + 2, 2):uint()
                local ci = t:add(F.count, tvb(body + 2, 2))
                info = info .. string.format(" 0x%04X x%d", start, count)
                if fc == 16 and need(5) then
                    t:add(F.byte_count, tvb(body + 4, 1))
                    local k = reg_count_fits(t, ci, left - 5, count)
                    add_registers(t, tvb, body + 5, start, k)
                end
            end
        elseif left > 0 then
            t:add(F.data, tvb(body, left))
        end
        if not pinfo.visited then
            requests[key] = { n = pinfo.number, t = pinfo.abs_ts, fc = fc, start = start, count = count, mkey = mkey }
        end
    else
        local req
        if fc ~= 0x41 then
            if not pinfo.visited then
                local r = requests[key]
                if r and band(fc, 0x7F) == r.fc then
                    matches[mkey] = { to = r.n, time = pinfo.abs_ts - r.t, start = r.start, count = r.count }
                    matches[r.mkey] = { in_ = pinfo.number }
                    requests[key] = nil
                end
            end
            req = matches[mkey]
        end
        if fc == 0x41 then
            info = string.format("Report tid %d", tid)
            if need(14) then
                local mi = t:add(F.marker, tvb(body, 1))
                t:add(F.after, tvb(body + 2, 1))
                t:add(F.fixed, tvb(body + 3, 7))
                local start = tvb(body + 10, 2):uint()
                t:add(F.start, tvb(body + 10, 2))
                local n = tvb(body + 13, 1):uint()
                local ci = t:add(F.count, tvb(body + 13, 1))
                local ok = tvb(body, 1):uint() == 0x91 and tvb(body + 1, 1):uint() == 0 and
                    tvb(body + 3, 7):bytes():tohex() == "00000100010001" and tvb(body + 12, 1):uint() == 0 and
                    tvb(body + 2, 1):uint() == band(total - 11, 0xFF)
                if not ok then mi:add_proto_expert_info(E.layout) end
                if left - 14 ~= 2 * n then
                    ci:add_proto_expert_info(E.count, string.format(
                        "Register count %d needs %d bytes, the frame holds %d", n, 2 * n, left - 14))
                end
                local k = math.min(n, math.floor((left - 14) / 2))
                add_registers(t, tvb, body + 14, start, k)
                info = info .. string.format(" 0x%04X x%d", start, n)
            end
        elseif band(fc, 0x80) ~= 0 then
            info = string.format("Exception tid %d", tid)
            if need(1) then
                t:add(F.exception, tvb(body, 1))
                info = info .. " " .. (EXCEPTIONS[tvb(body, 1):uint()] or tostring(tvb(body, 1):uint()))
            end
            if req and req.start then
                t:add(F.start, req.start):set_generated()
                t:add(F.count, req.count):set_generated()
            end
        elseif fc == 3 then
            info = string.format("Response tid %d %s", tid, FUNCS[fc])
            if need(1) then
                local bi = t:add(F.byte_count, tvb(body, 1))
                local n = math.floor((left - 1) / 2)
                if req and req.start then
                    t:add(F.start, req.start):set_generated()
                    t:add(F.count, req.count):set_generated()
                    if req.count ~= n then
                        bi:add_proto_expert_info(E.count, string.format("%d registers for a request of %d", n, req.count))
                    end
                    add_registers(t, tvb, body + 1, req.start, math.min(n, req.count))
                    info = info .. string.format(" 0x%04X x%d", req.start, n)
                elseif n > 0 then
                    t:add(F.data, tvb(body + 1, 2 * n))
                end
            end
        elseif (fc == 6 or fc == 16) and need(4) then
            info = string.format("Response tid %d %s", tid, FUNCS[fc])
            t:add(F.start, tvb(body, 2))
            if fc == 6 then
                t:add(F.count, 1):set_generated()
                add_registers(t, tvb, body + 2, tvb(body, 2):uint(), 1)
            else
                t:add(F.count, tvb(body + 2, 2))
            end
            info = info .. string.format(" 0x%04X", tvb(body, 2):uint())
        else
            info = string.format("tid %d function 0x%02X", tid, fc)
            if left > 0 then t:add(F.data, tvb(body, left)) end
        end
        if fc ~= 0x41 and not req then t:add_proto_expert_info(E.unanswered) end
    end
    local mt = matches[mkey]
    if mt then
        if mt.in_ then t:add(F.response_in, mt.in_):set_generated() end
        if mt.to then
            t:add(F.response_to, mt.to):set_generated()
            t:add(F.time, NSTime.new(math.floor(mt.time), math.floor((mt.time % 1) * 1e9 + 0.5))):set_generated()
        end
    end
    return info
end

function p_mb.dissector(tvb, pinfo, tree)
    local n = tvb:len()
    if n == 0 then return 0 end
    pinfo.cols.protocol = "TCU-MB"
    local port = pinfo.match_uint
    if port == nil or port == 0 then port = p_mb.prefs.port end
    local from_pu = pinfo.src_port == port
    local conv = tostring(from_pu and pinfo.dst_port or pinfo.src_port)
    local off, infos = 0, {}
    while off < n do
        local left = n - off
        if left < 8 then
            if pinfo.can_desegment > 0 then
                pinfo.desegment_offset = off
                pinfo.desegment_len = DESEGMENT_ONE_MORE_SEGMENT
                break
            end
            local t = tree:add(p_mb, tvb(off, left))
            t:add(F.data, tvb(off, left))
            t:add_proto_expert_info(E.cut)
            infos[#infos + 1] = "cut frame"
            break
        end
        local len = tvb(off + 4, 2):uint()
        if len < 2 or len > 1018 then
            local t = tree:add(p_mb, tvb(off, left))
            t:add(F.tid, tvb(off, 2))
            local li = t:add(F.length, tvb(off + 4, 2))
            li:add_proto_expert_info(E.bad_len)
            t:add(F.data, tvb(off, left))
            infos[#infos + 1] = "impossible length " .. len
            break
        end
        local total = 6 + len
        if left < total then
            if pinfo.can_desegment > 0 then
                pinfo.desegment_offset = off
                pinfo.desegment_len = total - left
                break
            end
            local t = tree:add(p_mb, tvb(off, left))
            t:add(F.tid, tvb(off, 2))
            t:add(F.length, tvb(off + 4, 2))
            t:add(F.data, tvb(off, left))
            t:add_proto_expert_info(E.cut, string.format("Frame cut short: %d of %d bytes", left, total))
            infos[#infos + 1] = "cut frame"
            break
        end
        infos[#infos + 1] = dissect_adu(tvb, pinfo, tree, off, total, from_pu, conv)
        off = off + total
    end
    if #infos > 0 then pinfo.cols.info = table.concat(infos, "; ") end
    return n
end

local tcp_port = DissectorTable.get("tcp.port")
local registered = nil
local function register()
    if registered then tcp_port:remove(registered, p_mb) end
    registered = p_mb.prefs.port
    if registered and registered > 0 then tcp_port:add(registered, p_mb) end
end
function p_mb.prefs_changed() register() end
register()
tcp_port:add_for_decode_as(p_mb)
