-- Wireshark dissector for the security trailer of the dispenser's GOOSE requests
-- (IEC 62351-6 style): Reserved 1 = the trailer length (35), Reserved 2 = CRC-16/MODBUS
-- of the 8 bytes EtherType..Reserved 1 (high byte first), then after the goosePdu the
-- tag 0xAD, a 2-byte length (32) and HMAC-SHA256 of EtherType..end of the goosePdu
-- under the gun's 48-byte key.
--
-- It takes over EtherType 0x88B8, hands the frame to Wireshark's own GOOSE dissector
-- and adds the trailer behind it. The HMAC is verified when keys are given in the
-- preference "tcugoose.keys": 96 hex digits each, separated by commas or spaces; the
-- word "zero" stands for 48 zero bytes (the key before the power unit writes one).
--   tshark -X lua_script:tools/wireshark/tcu_goose.lua -o "tcugoose.keys:zero,<96 hex>" -r goose.pcap

local p_sec = Proto("tcugoose", "GOOSE security trailer (dispenser)")

local HMAC_STATUS = { [0] = "Bad", [1] = "Good", [2] = "Not checked (no key given)", [3] = "Not present" }
local CRC_STATUS = { [0] = "Bad", [1] = "Good", [2] = "Not present" }

local F = {
    ext_len = ProtoField.uint16("tcugoose.reserved1", "Reserved 1: security extension length", base.DEC),
    crc = ProtoField.uint16("tcugoose.crc", "Reserved 2: header CRC", base.HEX),
    crc_calc = ProtoField.uint16("tcugoose.crc.computed", "Computed header CRC", base.HEX),
    crc_status = ProtoField.uint8("tcugoose.crc.status", "Header CRC status", base.DEC, CRC_STATUS),
    pdu_len = ProtoField.uint16("tcugoose.pdu_length", "goosePdu length", base.DEC),
    tag = ProtoField.uint8("tcugoose.trailer.tag", "Trailer tag", base.HEX),
    tlen = ProtoField.uint16("tcugoose.trailer.length", "HMAC length", base.DEC),
    hmac = ProtoField.bytes("tcugoose.hmac", "HMAC-SHA256"),
    hmac_status = ProtoField.uint8("tcugoose.hmac.status", "HMAC status", base.DEC, HMAC_STATUS),
    hmac_key = ProtoField.uint8("tcugoose.hmac.key", "Verified under key number", base.DEC),
    extra = ProtoField.bytes("tcugoose.extra", "Bytes after the trailer"),
}
local fields = {}
for _, f in pairs(F) do fields[#fields + 1] = f end
p_sec.fields = fields

local E = {
    no_trailer = ProtoExpert.new("tcugoose.no_trailer", "No security trailer after the goosePdu",
        expert.group.MALFORMED, expert.severity.ERROR),
    cut = ProtoExpert.new("tcugoose.trailer_cut", "Security trailer cut short",
        expert.group.MALFORMED, expert.severity.ERROR),
    bad_tag = ProtoExpert.new("tcugoose.bad_tag", "Trailer does not start with tag 0xAD, length 32",
        expert.group.MALFORMED, expert.severity.ERROR),
    bad_len = ProtoExpert.new("tcugoose.bad_length", "Length field does not fit the frame",
        expert.group.MALFORMED, expert.severity.ERROR),
    bad_res1 = ProtoExpert.new("tcugoose.bad_reserved1", "Reserved 1 is not the trailer length 35",
        expert.group.PROTOCOL, expert.severity.WARN),
    bad_crc = ProtoExpert.new("tcugoose.bad_crc", "Bad header CRC", expert.group.CHECKSUM, expert.severity.WARN),
    bad_hmac = ProtoExpert.new("tcugoose.bad_hmac", "HMAC does not verify under any key given",
        expert.group.SECURITY, expert.severity.WARN),
    bad_key = ProtoExpert.new("tcugoose.bad_key", "A key in the preference is not 96 hex digits; ignored",
        expert.group.PROTOCOL, expert.severity.NOTE),
}
local experts = {}
for _, e in pairs(E) do experts[#experts + 1] = e end
p_sec.experts = experts

p_sec.prefs.keys = Pref.string("Keys (hex)", "",
    "48-byte keys, 96 hex digits each, separated by commas or spaces; \"zero\" = 48 zero bytes")

local band, bor, bxor, bnot = bit32.band, bit32.bor, bit32.bxor, bit32.bnot
local rrotate, rshift = bit32.rrotate, bit32.rshift

local function crc16(bytes)
    local crc = 0xFFFF
    for i = 1, #bytes do
        crc = bxor(crc, bytes:byte(i))
        for _ = 1, 8 do
            if band(crc, 1) ~= 0 then crc = bxor(rshift(crc, 1), 0xA001) else crc = rshift(crc, 1) end
        end
    end
    return crc
end

-- SHA-256 on Lua strings (Lua 5.2 has no bit operators, bit32 does the 32-bit work).
local K = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
}
local H0 = { 0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19 }

local function compress(h, s, pos)
    local w = {}
    for i = 0, 15 do
        local a, b, c, d = s:byte(pos + 4 * i, pos + 4 * i + 3)
        w[i] = ((a * 256 + b) * 256 + c) * 256 + d
    end
    for i = 16, 63 do
        local x, y = w[i - 15], w[i - 2]
        local s0 = bxor(rrotate(x, 7), rrotate(x, 18), rshift(x, 3))
        local s1 = bxor(rrotate(y, 17), rrotate(y, 19), rshift(y, 10))
        w[i] = band(w[i - 16] + s0 + w[i - 7] + s1, 0xFFFFFFFF)
    end
    local a, b, c, d, e, f, g, hh = h[1], h[2], h[3], h[4], h[5], h[6], h[7], h[8]
    for i = 0, 63 do
        local S1 = bxor(rrotate(e, 6), rrotate(e, 11), rrotate(e, 25))
        local ch = bxor(band(e, f), band(bnot(e), g))
        local t1 = hh + S1 + ch + K[i + 1] + w[i]
        local S0 = bxor(rrotate(a, 2), rrotate(a, 13), rrotate(a, 22))
        local maj = bxor(band(a, b), band(a, c), band(b, c))
        local t2 = S0 + maj
        hh, g, f, e, d, c, b, a = g, f, e, band(d + t1, 0xFFFFFFFF), c, b, a, band(t1 + t2, 0xFFFFFFFF)
    end
    h[1], h[2], h[3], h[4] = band(h[1] + a, 0xFFFFFFFF), band(h[2] + b, 0xFFFFFFFF),
        band(h[3] + c, 0xFFFFFFFF), band(h[4] + d, 0xFFFFFFFF)
    h[5], h[6], h[7], h[8] = band(h[5] + e, 0xFFFFFFFF), band(h[6] + f, 0xFFFFFFFF),
        band(h[7] + g, 0xFFFFFFFF), band(h[8] + hh, 0xFFFFFFFF)
end

local function be32(x)
    return string.char(band(rshift(x, 24), 0xFF), band(rshift(x, 16), 0xFF), band(rshift(x, 8), 0xFF), band(x, 0xFF))
end

local function sha256(msg)
    local bits = #msg * 8
    local pad = msg .. "\128" .. string.rep("\0", (55 - #msg) % 64) ..
        be32(math.floor(bits / 4294967296)) .. be32(bits % 4294967296)
    local h = { H0[1], H0[2], H0[3], H0[4], H0[5], H0[6], H0[7], H0[8] }
    for pos = 1, #pad, 64 do compress(h, pad, pos) end
    local out = {}
    for i = 1, 8 do out[i] = be32(h[i]) end
    return table.concat(out)
end

local function xor_pad(key, byte)
    local t = {}
    for i = 1, 64 do t[i] = string.char(bxor(key:byte(i) or 0, byte)) end
    return table.concat(t)
end

local function hmac_sha256(key, msg)
    if #key > 64 then key = sha256(key) end
    return sha256(xor_pad(key, 0x5C) .. sha256(xor_pad(key, 0x36) .. msg))
end

-- Keys from the preference, parsed once per change.
local keys_text, keys, keys_bad = nil, {}, false
local function current_keys()
    local text = p_sec.prefs.keys or ""
    if text == keys_text then return keys, keys_bad end
    keys_text, keys, keys_bad = text, {}, false
    for word in text:gmatch("[^%s,;]+") do
        if word:lower() == "zero" then
            keys[#keys + 1] = string.rep("\0", 48)
        elseif #word == 96 and not word:find("[^%x]") then
            keys[#keys + 1] = (word:gsub("%x%x", function(h) return string.char(tonumber(h, 16)) end))
        else
            keys_bad = true
        end
    end
    return keys, keys_bad
end

local verdicts = {}     -- frame number -> { status, key index } (the HMAC is costly)
function p_sec.init() verdicts = {} end

local goose = Dissector.get("goose")

function p_sec.dissector(tvb, pinfo, tree)
    -- A goosePdu cut short makes the GOOSE dissector throw; it marks the frame malformed
    -- itself, and the trailer is still looked at.
    pcall(goose.call, goose, tvb, pinfo, tree)
    local n = tvb:len()
    local root = tree:add(p_sec, tvb())
    if n < 8 then
        root:add_proto_expert_info(E.bad_len)
        return n
    end
    local length = tvb(2, 2):uint()
    local res1 = tvb(4, 2):uint()
    local r1 = root:add(F.ext_len, tvb(4, 2))
    if res1 ~= 35 then r1:add_proto_expert_info(E.bad_res1) end
    -- Header CRC over EtherType (0x88B8, in front of this tvb), APPID, Length, Reserved 1.
    local head = "\136\184" .. tvb(0, 6):raw()
    local want = crc16(head)
    local got = tvb(6, 2):uint()
    local ci = root:add(F.crc, tvb(6, 2))
    if got == want then
        root:add(F.crc_status, 1):set_generated()
    else
        ci:append_text(string.format(" [incorrect, should be 0x%04x]", want))
        root:add(F.crc_calc, want):set_generated()
        root:add(F.crc_status, 0):set_generated()
        ci:add_proto_expert_info(E.bad_crc)
    end
    if length < 8 or length > n then
        root:add(F.pdu_len, math.max(length - 8, 0)):set_generated()
        root:add(F.hmac_status, 3):set_generated()
        root:add_proto_expert_info(E.bad_len, string.format("Length %d, %d bytes from the APPID on", length, n))
        return n
    end
    root:add(F.pdu_len, length - 8):set_generated()
    local t = length        -- the trailer starts right after the goosePdu
    local left = n - t
    if left <= 0 then
        root:add(F.hmac_status, 3):set_generated()
        root:add_proto_expert_info(E.no_trailer)
        return n
    end
    if left < 3 then
        root:add(F.tag, tvb(t, 1))
        root:add(F.hmac_status, 3):set_generated()
        root:add_proto_expert_info(E.cut, string.format("Security trailer cut short: %d of 35 bytes", left))
        return n
    end
    local tag = tvb(t, 1):uint()
    local tlen = tvb(t + 1, 2):uint()
    local ti = root:add(F.tag, tvb(t, 1))
    root:add(F.tlen, tvb(t + 1, 2))
    if tag ~= 0xAD or tlen ~= 32 then ti:add_proto_expert_info(E.bad_tag) end
    if left < 3 + tlen or tlen == 0 then
        if left > 3 then root:add(F.hmac, tvb(t + 3, left - 3)) end
        root:add(F.hmac_status, 3):set_generated()
        root:add_proto_expert_info(E.cut, string.format("Security trailer cut short: %d of %d bytes", left, 3 + tlen))
        return n
    end
    local hi = root:add(F.hmac, tvb(t + 3, tlen))
    if left > 3 + tlen then root:add(F.extra, tvb(t + 3 + tlen, left - 3 - tlen)) end
    local ks, bad = current_keys()
    if bad then root:add_proto_expert_info(E.bad_key) end
    local v = verdicts[pinfo.number]
    if not v or v.keys ~= keys_text then
        v = { keys = keys_text }
        if #ks == 0 then
            v.status = 2
        else
            v.status = 0
            local signed = head .. tvb(6, length - 6):raw()
            local mac = tvb(t + 3, tlen):raw()
            for i, k in ipairs(ks) do
                if hmac_sha256(k, signed) == mac then v.status, v.key = 1, i; break end
            end
        end
        verdicts[pinfo.number] = v
    end
    root:add(F.hmac_status, v.status):set_generated()
    if v.key then root:add(F.hmac_key, v.key):set_generated() end
    if v.status == 0 then
        hi:add_proto_expert_info(E.bad_hmac)
        pinfo.cols.info:append(" [HMAC BAD]")
    end
    return n
end

DissectorTable.get("ethertype"):add(0x88B8, p_sec)
