-- Wireshark dissector for the market data platform's two protocols:
--
--   MIRP: the incremental multicast feed. One UDP datagram holds one or
--         more packets (24-byte header, then a field list); each field is
--         shown with its name and decoded value, the zigzag varints as the
--         numbers they stand for.
--   MDQP: the query protocol over TCP (8-byte header, field list of fixed
--         records), reassembled across segments; a gap reply's fields are
--         whole MIRP packets and are shown as such.
--
-- Both are found by looking at the payload (heuristics on UDP and TCP), so
-- any port works; "Decode As" offers them too. Install: see README.md here.

local mirp = Proto("mirp", "MIRP market data")
local mdqp = Proto("mdqp", "MDQP market data query")

----------------------------------------------------------------------------
-- Zigzag varints, read little group first. 32-bit values fit a Lua number;
-- 64-bit ones go through UInt64/Int64 so that no precision is lost.

-- Returns value, bytes used; nil when the content ends inside the varint.
local function varint32(tvb, offset, limit)
    local value, scale, i = 0, 1, offset
    while i < limit do
        local b = tvb(i, 1):uint()
        value = value + (b % 128) * scale
        i = i + 1
        if b < 128 then
            value = value % 4294967296
            if value % 2 == 0 then
                return value / 2, i - offset
            end
            return -(value + 1) / 2, i - offset
        end
        scale = scale * 128
    end
    return nil, limit - offset
end

local function varint64(tvb, offset, limit)
    local value, shift, i = UInt64(0), 0, offset
    while i < limit do
        local b = tvb(i, 1):uint()
        if shift < 64 then
            value = value:bor(UInt64(b % 128):lshift(shift))
        end
        i = i + 1
        if b < 128 then
            local half = value:rshift(1)
            if value:band(UInt64(1)) == UInt64(1) then
                half = half:bnot()  -- -(u + 1) / 2 in two's complement
            end
            return Int64.fromhex(half:tohex()), i - offset
        end
        shift = shift + 7
    end
    return nil, limit - offset
end

----------------------------------------------------------------------------
-- MIRP

local mirp_types = { [0] = "Heartbeat", [1] = "MarketEvent" }
local mirp_field_names = {
    [0x0003] = "InstrumentEventHeader",
    [0x1001] = "MDEntryEvent",
    [0x1002] = "TradeSlice",
    [0x1011] = "HighPrice",
    [0x1012] = "LowPrice",
    [0x1013] = "OpenPrice",
    [0x1014] = "ClosePrice",
    [0x1015] = "UpperLimitPrice",
    [0x1016] = "LowerLimitPrice",
    [0x1017] = "SettlementPrice",
    [0x1018] = "Delta",
}
local event_types = { ["1"] = "New", ["2"] = "Change", ["3"] = "Delete" }
local entry_types = { ["0"] = "Bid", ["1"] = "Ask" }

local mf = {
    version = ProtoField.uint8("mirp.version", "Version", base.DEC, nil, 0x0f),
    flag = ProtoField.uint8("mirp.flag", "Flag", base.HEX, nil, 0xf0),
    continues = ProtoField.bool("mirp.continue", "Continue", 8, nil, 0x10),
    type = ProtoField.uint8("mirp.type", "Type", base.DEC, mirp_types),
    length = ProtoField.uint16("mirp.length", "Content length", base.DEC),
    packet_no = ProtoField.uint32("mirp.packet_no", "Packet number", base.DEC),
    topic = ProtoField.uint16("mirp.topic", "Topic", base.DEC),
    snap_ms = ProtoField.uint16("mirp.snap_millisec", "Snap millisecond", base.DEC),
    snap_no = ProtoField.int32("mirp.snap_no", "Snap number", base.DEC),
    snap_seconds = ProtoField.uint32("mirp.snap_seconds", "Snap seconds", base.DEC),
    trading_day = ProtoField.uint16("mirp.trading_day", "Trading day", base.DEC),
    reserved = ProtoField.uint16("mirp.reserved", "Reserved", base.HEX),
    field_id = ProtoField.uint16("mirp.field.id", "Field id", base.HEX, mirp_field_names),
    field_size = ProtoField.uint16("mirp.field.size", "Field size", base.DEC),
    instrument_no = ProtoField.int32("mirp.instrument_no", "InstrumentNo", base.DEC),
    header_attr1 = ProtoField.int32("mirp.header_attr1", "HeaderAttr1", base.DEC),
    event_type = ProtoField.string("mirp.event_type", "EventType"),
    entry_type = ProtoField.string("mirp.entry_type", "EntryType"),
    price_level = ProtoField.int32("mirp.price_level", "PriceLevel", base.DEC),
    price_offset = ProtoField.int32("mirp.price_offset", "PriceOffset", base.DEC),
    volume = ProtoField.int32("mirp.volume", "Volume", base.DEC),
    event_attr1 = ProtoField.int32("mirp.event_attr1", "EventAttr1", base.DEC),
    last_price_offset = ProtoField.int32("mirp.last_price_offset", "LastPriceOffset", base.DEC),
    turnover_offset = ProtoField.int64("mirp.turnover_offset", "TurnoverOffset", base.DEC),
    open_interest_change = ProtoField.int64("mirp.open_interest_change", "OpenInterestChange",
                                            base.DEC),
    delta = ProtoField.double("mirp.delta", "Delta"),
    daily_price = ProtoField.int32("mirp.daily_price_offset", "Daily price offset", base.DEC),
    undecoded = ProtoField.bytes("mirp.undecoded", "Undecoded content"),
}
mirp.fields = mf
local mirp_malformed = ProtoExpert.new("mirp.malformed", "Malformed MIRP content",
                                       expert.group.MALFORMED, expert.severity.ERROR)
mirp.experts = { mirp_malformed }

-- Content elements of each field, in order: "v32", "v64", "char", "double".
local mirp_layouts = {
    [0x0003] = { { mf.instrument_no, "v32" }, { mf.header_attr1, "v32" } },
    [0x1001] = { { mf.event_type, "char", event_types }, { mf.entry_type, "char", entry_types },
                 { mf.price_level, "v32" }, { mf.price_offset, "v32" }, { mf.volume, "v32" },
                 { mf.event_attr1, "v32" } },
    [0x1002] = { { mf.last_price_offset, "v32" }, { mf.volume, "v32" },
                 { mf.turnover_offset, "v64" }, { mf.open_interest_change, "v64" } },
    [0x1018] = { { mf.delta, "double" } },
}
for id = 0x1011, 0x1017 do
    mirp_layouts[id] = { { mf.daily_price, "v32" } }
end

local function dissect_mirp_field(tvb, offset, limit, tree)
    local id = tvb(offset, 2):le_uint()
    local size = tvb(offset + 2, 2):le_uint()
    local stop = math.min(offset + 4 + size, limit)
    local name = mirp_field_names[id] or string.format("Unknown field 0x%04x", id)
    local ftree = tree:add(mirp, tvb(offset, stop - offset), name)
    ftree:add_le(mf.field_id, tvb(offset, 2))
    ftree:add_le(mf.field_size, tvb(offset + 2, 2))
    if offset + 4 + size > limit then
        ftree:add_proto_expert_info(mirp_malformed, "field runs past its packet")
        return limit
    end
    local pos = offset + 4
    for _, element in ipairs(mirp_layouts[id] or {}) do
        local field, kind = element[1], element[2]
        local value, used
        if kind == "v32" then
            value, used = varint32(tvb, pos, stop)
        elseif kind == "v64" then
            value, used = varint64(tvb, pos, stop)
        elseif kind == "char" and pos < stop then
            value, used = tvb(pos, 1):string(), 1
        elseif kind == "double" and pos + 8 <= stop then
            value, used = tvb(pos, 8):le_float(), 8
        end
        if value == nil then
            ftree:add_proto_expert_info(mirp_malformed, "content ends inside an element")
            break
        end
        local item = ftree:add(field, tvb(pos, used), value)
        if element[3] and element[3][value] then
            item:append_text(" (" .. element[3][value] .. ")")
        end
        if field == mf.daily_price then
            item:set_text(name .. " offset: " .. value)
        end
        ftree:append_text(" " .. tostring(value))
        pos = pos + used
    end
    if not mirp_layouts[id] and size > 0 then
        ftree:add(mf.undecoded, tvb(pos, stop - pos))
    end
    return stop
end

-- One packet at offset: the bytes it occupies, or nil when it is not whole.
local function dissect_mirp_packet(tvb, offset, tree)
    local left = tvb:len() - offset
    if left < 24 then
        return nil
    end
    local length = tvb(offset + 2, 2):le_uint()
    if 24 + length > left then
        return nil
    end
    local type = tvb(offset + 1, 1):uint()
    local ptree = tree:add(mirp, tvb(offset, 24 + length),
                           string.format("MIRP %s, topic %d, packet %d",
                                         mirp_types[type] or ("type " .. type),
                                         tvb(offset + 8, 2):le_uint(),
                                         tvb(offset + 4, 4):le_uint()))
    ptree:add(mf.version, tvb(offset, 1))
    ptree:add(mf.flag, tvb(offset, 1))
    ptree:add(mf.continues, tvb(offset, 1))
    ptree:add(mf.type, tvb(offset + 1, 1))
    ptree:add_le(mf.length, tvb(offset + 2, 2))
    ptree:add_le(mf.packet_no, tvb(offset + 4, 4))
    ptree:add_le(mf.topic, tvb(offset + 8, 2))
    ptree:add_le(mf.snap_ms, tvb(offset + 10, 2))
    ptree:add_le(mf.snap_no, tvb(offset + 12, 4))
    local seconds = tvb(offset + 16, 4):le_uint()
    ptree:add_le(mf.snap_seconds, tvb(offset + 16, 4))
        :append_text(os.date("! (%Y-%m-%d %H:%M:%S UTC)", seconds))
    ptree:add_le(mf.trading_day, tvb(offset + 20, 2))
    ptree:add_le(mf.reserved, tvb(offset + 22, 2))
    local pos, limit = offset + 24, offset + 24 + length
    while pos + 4 <= limit do
        pos = dissect_mirp_field(tvb, pos, limit, ptree)
    end
    if pos < limit then
        ptree:add_proto_expert_info(mirp_malformed, "bytes after the last field")
    end
    return 24 + length
end

-- True when the datagram is MIRP packets back to back, exactly.
local function looks_like_mirp(tvb)
    local offset, len = 0, tvb:len()
    if len < 24 then
        return false
    end
    while offset < len do
        if len - offset < 24 then
            return false
        end
        local first = tvb(offset, 1):uint()
        if first % 16 ~= 1 or tvb(offset + 1, 1):uint() > 1 then
            return false
        end
        offset = offset + 24 + tvb(offset + 2, 2):le_uint()
    end
    return offset == len
end

function mirp.dissector(tvb, pinfo, tree)
    pinfo.cols.protocol = "MIRP"
    local offset, count = 0, 0
    local topics = {}
    while offset < tvb:len() do
        local used = dissect_mirp_packet(tvb, offset, tree)
        if used == nil then
            tree:add_proto_expert_info(mirp_malformed, "datagram ends inside a packet")
            break
        end
        topics[#topics + 1] = string.format("%d:%d", tvb(offset + 8, 2):le_uint(),
                                            tvb(offset + 4, 4):le_uint())
        offset = offset + used
        count = count + 1
    end
    pinfo.cols.info = string.format("%d packet%s %s", count, count == 1 and "" or "s",
                                    table.concat(topics, " "))
    return offset
end

mirp:register_heuristic("udp", function(tvb, pinfo, tree)
    if not looks_like_mirp(tvb) then
        return false
    end
    mirp.dissector(tvb, pinfo, tree)
    return true
end)
DissectorTable.get("udp.port"):add_for_decode_as(mirp)

----------------------------------------------------------------------------
-- MDQP

local mdqp_trans = {
    [0] = "Heartbeat", [0x11] = "ReqUserLogin", [0x12] = "RspUserLogin",
    [0x13] = "ReqUserLogout", [0x14] = "RspUserLogout", [0x31] = "ReqQryTopicSnap",
    [0x32] = "RspQryTopicSnap", [0x33] = "ReqQryTopicGap", [0x34] = "RspQryTopicGap",
}

-- Records: id, name, prefix of the field names, elements (name, type, width).
local mdqp_records = {
    { 1, "RspInfo", "rsp_info", { { "ErrorID", "int32" }, { "ErrorMsg", "char", 81 } } },
    { 2, "ReqUserLogin", "req_login", { { "UserID", "char", 16 }, { "ParticipantID", "char", 11 },
                                        { "Password", "char", 41 }, { "Reserved", "bytes", 83 } } },
    { 3, "RspUserLogin", "rsp_login", { { "LoginInfo1", "char", 9 }, { "LoginInfo2", "char", 9 },
                                        { "UserID", "char", 16 }, { "ParticipantID", "char", 11 },
                                        { "LoginInfo3", "char", 61 }, { "LoginInfo4", "char", 9 } } },
    { 49, "TopicSettlementSession", "session", { { "SessionDay", "char", 9 },
                                                 { "SessionCode", "char", 9 },
                                                 { "SessionNo", "int32" } } },
    { 257, "TopicInstrument", "instrument", {
        { "InstrumentID", "char", 31 }, { "InstrumentAttr1", "char", 31 },
        { "InstrumentAttr2", "char", 1 }, { "InstrumentAttr3", "double" },
        { "InstrumentAttr4", "char", 1 }, { "VolumeMultiple", "int32" },
        { "InstrumentAttr5", "double" }, { "InstrumentAttr6", "int32" },
        { "InstrumentAttr7", "int32" }, { "PriceTick", "double" },
        { "TradeBasePrice", "double" }, { "InstrumentNo", "int32" } } },
    { 258, "TopicMarketData", "market_data", {
        { "InstrumentNo", "int32" }, { "LastPrice", "double" }, { "Volume", "int32" },
        { "Turnover", "double" }, { "OpenInterest", "double" }, { "HighPrice", "double" },
        { "LowPrice", "double" }, { "OpenPrice", "double" }, { "ClosePrice", "double" },
        { "SettlementPrice", "double" }, { "UpperLimitPrice", "double" },
        { "LowerLimitPrice", "double" }, { "LevelBasePrice", "double" },
        { "SnapValue1", "double" }, { "SnapValue2", "double" }, { "SnapValue3", "double" },
        { "Delta", "double" }, { "UpdateDate", "char", 9 }, { "UpdateTime", "char", 9 },
        { "UpdateMillisec", "int32" }, { "SnapValue4", "int32" } } },
    { 259, "TopicMarketByPrice", "level", { { "InstrumentNo", "int32" }, { "EntryType", "char", 1 },
                                            { "Price", "double" }, { "Volume", "int32" } } },
    { 513, "TopicGap", "gap", { { "TopicID", "int16" }, { "BeginPacketNo", "uint32" },
                                { "EndPacketNo", "uint32" } } },
    { 4097, "TopicSnapTag", "snap_tag", { { "TopicID", "int16" }, { "SnapNo", "int32" } } },
    { 4098, "TopicSnapTime", "snap_time", { { "SnapDate", "char", 9 }, { "SnapTime", "char", 9 },
                                            { "SnapMillisec", "int32" } } },
    { 4099, "TopicAttribute", "attribute", { { "MarketDataDepth", "int32" },
                                             { "CipherType", "char", 1 },
                                             { "CipherParam1", "bytes", 16 },
                                             { "CipherParam2", "bytes", 16 } } },
    { 4100, "MirpPacketNo", "mirp_packet_no", { { "PacketNo", "int32" } } },
}

local widths = { int16 = 2, int32 = 4, uint32 = 4, double = 8 }
local df = {
    version = ProtoField.uint8("mdqp.version", "Version", base.DEC, nil, 0x0f),
    flag = ProtoField.uint8("mdqp.flag", "Flag", base.HEX, nil, 0xf0),
    continues = ProtoField.bool("mdqp.continue", "Continue", 8, nil, 0x10),
    trans_id = ProtoField.uint8("mdqp.trans_id", "Transaction", base.HEX, mdqp_trans),
    length = ProtoField.uint16("mdqp.length", "Content length", base.DEC),
    request_id = ProtoField.uint32("mdqp.request_id", "Request id", base.DEC),
    field_id = ProtoField.uint16("mdqp.field.id", "Field id", base.DEC),
    field_size = ProtoField.uint16("mdqp.field.size", "Field size", base.DEC),
    unknown = ProtoField.bytes("mdqp.field.unknown", "Unknown field"),
}
local record_by_id = {}
for _, r in ipairs(mdqp_records) do
    local record = { name = r[2], elements = {} }
    for _, e in ipairs(r[4]) do
        local abbrev = "mdqp." .. r[3] .. "." .. e[1]:gsub("(%l)(%u)", "%1_%2"):lower()
        local kind, field = e[2], nil
        if kind == "char" then
            field = ProtoField.stringz(abbrev, e[1])
        elseif kind == "bytes" then
            field = ProtoField.bytes(abbrev, e[1])
        elseif kind == "double" then
            field = ProtoField.double(abbrev, e[1])
        elseif kind == "uint32" then
            field = ProtoField.uint32(abbrev, e[1], base.DEC)
        elseif kind == "int16" then
            field = ProtoField.int16(abbrev, e[1], base.DEC)
        else
            field = ProtoField.int32(abbrev, e[1], base.DEC)
        end
        df[abbrev] = field
        record.elements[#record.elements + 1] = { field = field, kind = kind,
                                                  width = e[3] or widths[kind] }
    end
    record_by_id[r[1]] = record
end
mdqp.fields = df
local mdqp_malformed = ProtoExpert.new("mdqp.malformed", "Malformed MDQP content",
                                       expert.group.MALFORMED, expert.severity.ERROR)
mdqp.experts = { mdqp_malformed }

-- A record's elements, each only while the field holds it whole.
local function dissect_record(tvb, offset, size, record, tree)
    local pos, stop = offset, offset + size
    for _, e in ipairs(record.elements) do
        if pos + e.width > stop then
            break
        end
        local range = tvb(pos, e.width)
        if e.kind == "char" or e.kind == "bytes" then
            tree:add(e.field, range)
        else
            tree:add_le(e.field, range)
        end
        pos = pos + e.width
    end
end

-- One MDQP packet (header and body) in tvb.
local function dissect_mdqp_pdu(tvb, pinfo, tree)
    local trans = tvb(1, 1):uint()
    local length = tvb(2, 2):le_uint()
    local ptree = tree:add(mdqp, tvb(0, 8 + length),
                           string.format("MDQP %s, request %d",
                                         mdqp_trans[trans] or string.format("0x%02x", trans),
                                         tvb(4, 4):le_uint()))
    ptree:add(df.version, tvb(0, 1))
    ptree:add(df.flag, tvb(0, 1))
    ptree:add(df.continues, tvb(0, 1))
    ptree:add(df.trans_id, tvb(1, 1))
    ptree:add_le(df.length, tvb(2, 2))
    ptree:add_le(df.request_id, tvb(4, 4))
    local pos, stop = 8, 8 + length
    while pos + 4 <= stop do
        local id = tvb(pos, 2):le_uint()
        local size = tvb(pos + 2, 2):le_uint()
        if pos + 4 + size > stop then
            ptree:add_proto_expert_info(mdqp_malformed, "field runs past its packet")
            break
        end
        -- A gap reply carries whole MIRP packets, whatever the field id.
        local record = trans ~= 0x34 and record_by_id[id] or nil
        local name = trans == 0x34 and "MIRP packet" or (record and record.name)
            or string.format("Unknown field %d", id)
        local ftree = ptree:add(mdqp, tvb(pos, 4 + size), name)
        ftree:add_le(df.field_id, tvb(pos, 2))
        ftree:add_le(df.field_size, tvb(pos + 2, 2))
        if trans == 0x34 and size > 0 then
            dissect_mirp_packet(tvb(pos + 4, size):tvb(), 0, ftree)
        elseif record then
            dissect_record(tvb, pos + 4, size, record, ftree)
        elseif size > 0 then
            ftree:add(df.unknown, tvb(pos + 4, size))
        end
        pos = pos + 4 + size
    end
    -- One name per kind of packet in the segment.
    local info = tostring(pinfo.cols.info)
    local text = mdqp_trans[trans] or string.format("0x%02x", trans)
    if info == "" then
        pinfo.cols.info = "MDQP " .. text
    elseif info:sub(-#text) ~= text then
        pinfo.cols.info = info .. ", " .. text
    end
    return 8 + length
end

local function mdqp_pdu_length(tvb, pinfo, offset)
    return 8 + tvb(offset + 2, 2):le_uint()
end

function mdqp.dissector(tvb, pinfo, tree)
    pinfo.cols.protocol = "MDQP"
    pinfo.cols.info = ""
    dissect_tcp_pdus(tvb, tree, 8, mdqp_pdu_length, dissect_mdqp_pdu, true)
    return tvb:len()
end

-- The first segment of a connection starts with a header: version 1 and a
-- known transaction. Later segments then go to the conversation's dissector.
mdqp:register_heuristic("tcp", function(tvb, pinfo, tree)
    if tvb:len() < 8 or tvb(0, 1):uint() % 16 ~= 1 or mdqp_trans[tvb(1, 1):uint()] == nil then
        return false
    end
    pinfo.conversation = mdqp
    mdqp.dissector(tvb, pinfo, tree)
    return true
end)
DissectorTable.get("tcp.port"):add_for_decode_as(mdqp)
