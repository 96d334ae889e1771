#include "helper/HelperProtocol.h"

#include "support/ByteOrder.h"

#include <algorithm>

namespace zkv::helper {
namespace {

// Fixed parts on the wire.
constexpr std::size_t kHelloSize = 6;                                     // magic, version
constexpr std::size_t kEntryHeaderSize = 1 + AtaCommandRecord::kSize + 4; // kind, record, u32
constexpr std::size_t kResultHeaderSize = 1 + 4;                          // kind, u32 length
static_assert(kHelloSize == 6 && kEntryHeaderSize == 52 && kResultHeaderSize == 5);

void PutText16(ByteWriter& w, const std::string& s) {
    w.U16(static_cast<std::uint16_t>(s.size()));
    w.Bytes(std::string_view(s));
}

bool GetText16(ByteReader& r, std::string& s, std::size_t max) {
    std::uint16_t n = 0;
    if (!r.U16(n) || n > max || r.Remaining() < n)
        return false;
    s.resize(n);
    return n == 0 || r.Bytes(reinterpret_cast<std::uint8_t*>(s.data()), n);
}

// Reads n bytes into a vector sized to n (nothing to copy when n is 0).
bool Take(ByteReader& r, std::vector<std::uint8_t>& v, std::uint32_t n) {
    if (n > r.Remaining())
        return false;
    v.resize(n);
    return n == 0 || r.Bytes(v.data(), n);
}

bool ValidKind(std::uint8_t k) {
    return k == ENTRY_COMMAND || k == ENTRY_STATUS || k == ENTRY_RESET;
}

std::string Cut(const std::string& s, std::size_t max) {
    return s.size() > max ? s.substr(0, max) : s;
}

} // namespace

std::vector<std::uint8_t> EncodeFrame(std::uint8_t type, std::span<const std::uint8_t> payload) {
    std::vector<std::uint8_t> out;
    out.reserve(kFrameHeaderSize + payload.size());
    ByteWriter w(out);
    w.U32(static_cast<std::uint32_t>(payload.size() + 1));
    w.U8(type);
    w.Bytes(payload);
    return out;
}

bool DecodeFrameHeader(const std::uint8_t (&header)[kFrameHeaderSize], std::uint32_t& bodyLength,
                       std::uint8_t& type) {
    const std::uint32_t n = GetU32(header);
    if (n == 0 || n > kMaxFrame)
        return false;
    bodyLength = n - 1;
    type = header[4];
    return true;
}

bool DecodeFrame(std::span<const std::uint8_t> bytes, Frame& out) {
    if (bytes.size() < kFrameHeaderSize)
        return false;
    std::uint8_t header[kFrameHeaderSize];
    std::copy(bytes.begin(), bytes.begin() + kFrameHeaderSize, header);
    std::uint32_t len = 0;
    if (!DecodeFrameHeader(header, len, out.type) || bytes.size() - kFrameHeaderSize != len)
        return false;
    out.payload.assign(bytes.begin() + kFrameHeaderSize, bytes.end());
    return true;
}

std::vector<std::uint8_t> EncodeHello(std::uint16_t version) {
    std::vector<std::uint8_t> out;
    ByteWriter w(out);
    w.U32(kMagic);
    w.U16(version);
    return out;
}

bool DecodeHello(std::span<const std::uint8_t> payload, std::uint16_t& version) {
    ByteReader r(payload);
    std::uint32_t magic = 0;
    return r.U32(magic) && magic == kMagic && r.U16(version) && r.AtEnd();
}

std::vector<std::uint8_t> EncodeAbort(std::uint32_t request) {
    std::vector<std::uint8_t> out;
    ByteWriter w(out);
    w.U32(request);
    return out;
}

bool DecodeAbort(std::span<const std::uint8_t> payload, std::uint32_t& request) {
    ByteReader r(payload);
    return r.U32(request) && r.AtEnd();
}

std::vector<std::uint8_t> EncodeKey(const std::string& key) {
    std::vector<std::uint8_t> out;
    ByteWriter w(out);
    PutText16(w, Cut(key, kMaxKey));
    return out;
}

bool DecodeKey(std::span<const std::uint8_t> payload, std::string& key) {
    ByteReader r(payload);
    return GetText16(r, key, kMaxKey) && !key.empty() && r.AtEnd();
}

std::vector<std::uint8_t> EncodeList(const std::vector<ListEntry>& entries) {
    std::vector<std::uint8_t> out;
    ByteWriter w(out);
    const std::size_t n = std::min<std::size_t>(entries.size(), kMaxListEntries);
    w.U32(static_cast<std::uint32_t>(n));
    for (std::size_t i = 0; i < n; ++i) {
        const ListEntry& e = entries[i];
        PutText16(w, Cut(e.key, kMaxKey));
        PutText16(w, Cut(e.description, kMaxText));
        w.U8(static_cast<std::uint8_t>((e.drivable ? 1 : 0) | (e.disabled ? 2 : 0) |
                                       (e.disableable ? 4 : 0) | (e.taken ? 8 : 0)));
        const std::size_t nr = std::min(e.ranges.size(), kMaxRanges);
        w.U8(static_cast<std::uint8_t>(nr));
        for (std::size_t k = 0; k < nr; ++k) {
            w.U32(e.ranges[k].first);
            w.U32(e.ranges[k].second);
        }
        const DeviceSetupEntry& d = e.setup;
        w.U8(d.kind == DeviceClassKind::RaidAdapter ? 1 : 0);
        w.U8(d.passThroughHost ? 1 : 0);
        w.I32(d.channel);
        w.I32(d.legacyBusType);
        w.I32(d.busNumber);
        w.I32(d.deviceAddress);
        for (const std::string* t : {&d.function, &d.hardwareId, &d.compatibleIds, &d.service,
                                     &d.className, &d.classGuid, &d.mfg, &d.location, &d.objectName,
                                     &d.enumerator, &d.passThrough, &d.block, &e.driver, &e.reason})
            PutText16(w, Cut(*t, kMaxKey));
    }
    return out;
}

bool DecodeList(std::span<const std::uint8_t> payload, std::vector<ListEntry>& entries) {
    ByteReader r(payload);
    std::uint32_t n = 0;
    if (!r.U32(n) || n > kMaxListEntries)
        return false;
    entries.clear();
    for (std::uint32_t i = 0; i < n; ++i) {
        ListEntry e;
        std::uint8_t flags = 0, nr = 0;
        if (!GetText16(r, e.key, kMaxKey) || !GetText16(r, e.description, kMaxText) ||
            !r.U8(flags) || (flags & 0xF0) != 0 || !r.U8(nr) || nr > kMaxRanges)
            return false;
        e.drivable = flags & 1;
        e.disabled = flags & 2;
        e.disableable = flags & 4;
        e.taken = flags & 8;
        for (std::uint8_t k = 0; k < nr; ++k) {
            std::uint32_t a = 0, b = 0;
            if (!r.U32(a) || !r.U32(b))
                return false;
            e.ranges.emplace_back(a, b);
        }
        DeviceSetupEntry& d = e.setup;
        std::uint8_t kind = 0, host = 0;
        if (!r.U8(kind) || kind > 1 || !r.U8(host) || host > 1 || !r.I32(d.channel) ||
            !r.I32(d.legacyBusType) || !r.I32(d.busNumber) || !r.I32(d.deviceAddress))
            return false;
        for (std::string* t : {&d.function, &d.hardwareId, &d.compatibleIds, &d.service,
                               &d.className, &d.classGuid, &d.mfg, &d.location, &d.objectName,
                               &d.enumerator, &d.passThrough, &d.block, &e.driver, &e.reason})
            if (!GetText16(r, *t, kMaxKey))
                return false;
        d.kind = kind ? DeviceClassKind::RaidAdapter : DeviceClassKind::HardDiskController;
        d.passThroughHost = host != 0;
        d.key = e.key;
        d.deviceDesc = e.description;
        d.ranges = e.ranges;
        entries.push_back(std::move(e));
    }
    return r.AtEnd();
}

std::vector<std::uint8_t> EncodeChannelReply(const ChannelReply& c) {
    std::vector<std::uint8_t> out;
    ByteWriter w(out);
    w.U8(c.ok ? 1 : 0);
    w.U8(c.restartNeeded ? 1 : 0);
    PutText16(w, Cut(c.message, kMaxText));
    return out;
}

bool DecodeChannelReply(std::span<const std::uint8_t> payload, ChannelReply& c) {
    ByteReader r(payload);
    std::uint8_t ok = 0, restart = 0;
    if (!r.U8(ok) || ok > 1 || !r.U8(restart) || restart > 1 ||
        !GetText16(r, c.message, kMaxText) || !r.AtEnd())
        return false;
    c.ok = ok;
    c.restartNeeded = restart;
    return true;
}

std::vector<std::uint8_t> EncodeBatch(const BatchRequest& batch) {
    std::vector<std::uint8_t> out;
    ByteWriter w(out);
    PutText16(w, Cut(batch.key, kMaxKey));
    w.U8(static_cast<std::uint8_t>((batch.freshStreak ? 1 : 0) | (batch.slave ? 2 : 0)));
    w.U32(static_cast<std::uint32_t>(batch.entries.size()));
    for (const BatchEntry& e : batch.entries) {
        w.U8(e.kind);
        // A write sends what its buffer holds, at most DataLen bytes, and DataLen says so.
        AtaCommandRecord head;
        std::uint8_t rec[AtaCommandRecord::kSize];
        e.rec.EncodeTo(rec);
        head.DecodeFrom(rec);
        const bool data = e.kind == ENTRY_COMMAND && IsWriteProtocol(e.rec.Protocol);
        std::size_t n = 0;
        if (data) {
            n = std::min(e.rec.Buffer.size(), static_cast<std::size_t>(std::max(0, head.DataLen)));
            head.DataLen = static_cast<std::int32_t>(n);
            head.EncodeTo(rec);
        }
        w.Bytes(rec);
        w.U32(static_cast<std::uint32_t>(n));
        w.Bytes(std::span<const std::uint8_t>(e.rec.Buffer.data(), n));
    }
    return out;
}

bool DecodeBatch(std::span<const std::uint8_t> payload, BatchRequest& batch, std::string& why) {
    ByteReader r(payload);
    batch.entries.clear();
    std::uint32_t n = 0;
    std::uint8_t fresh = 0;
    if (!GetText16(r, batch.key, kMaxKey) || batch.key.empty() || !r.U8(fresh) || fresh > 3 ||
        !r.U32(n)) {
        why = "malformed batch";
        return false;
    }
    if (n > kMaxBatchEntries || n > r.Remaining() / kEntryHeaderSize) {
        why = "too many entries";
        return false;
    }
    batch.freshStreak = fresh & 1;
    batch.slave = fresh & 2;
    std::uint64_t total = 0;
    batch.entries.reserve(n);
    for (std::uint32_t i = 0; i < n; ++i) {
        BatchEntry e;
        std::uint8_t rec[AtaCommandRecord::kSize];
        std::uint32_t len = 0;
        if (!r.U8(e.kind) || !r.Bytes(rec, sizeof rec) || !r.U32(len)) {
            why = "malformed batch";
            return false;
        }
        if (!ValidKind(e.kind)) {
            why = "unknown entry kind";
            return false;
        }
        e.rec.DecodeFrom(rec);
        if (e.rec.DataLen < 0)
            e.rec.DataLen = 0;
        const std::string at = "entry " + std::to_string(i) + ": ";
        const bool write = e.kind == ENTRY_COMMAND && IsWriteProtocol(e.rec.Protocol);
        const bool read = e.kind == ENTRY_COMMAND && IsReadProtocol(e.rec.Protocol);
        if (!write && len != 0) {
            why = at + "data given to a command that writes none";
            return false;
        }
        if (write && len != static_cast<std::uint32_t>(e.rec.DataLen)) {
            why = at + "the data given is not DataLen bytes";
            return false;
        }
        if (static_cast<std::uint32_t>(e.rec.DataLen) > kMaxCommandData) {
            why = at + "DataLen is past the bound of one command";
            return false;
        }
        if (write || read)
            total += e.rec.DataLen == 0 && read ? static_cast<std::uint32_t>(kDefaultReadBuffer)
                                                : static_cast<std::uint32_t>(e.rec.DataLen);
        if (total > kMaxBatchData) {
            why = at + "the batch's data is past its bound";
            return false;
        }
        if (len > r.Remaining()) {
            why = "malformed batch";
            return false;
        }
        if (write)
            Take(r, e.rec.Buffer, len);
        ClampWireLimits(e.rec);
        batch.entries.push_back(std::move(e));
    }
    if (!r.AtEnd()) {
        why = "bytes after the last entry";
        return false;
    }
    return true;
}

std::vector<std::uint8_t> EncodeBatchReply(const BatchReply& reply) {
    std::vector<std::uint8_t> out;
    ByteWriter w(out);
    w.U8(reply.aborted ? 1 : 0);
    w.U32(static_cast<std::uint32_t>(reply.results.size()));
    for (const BatchResult& res : reply.results) {
        w.U8(res.kind);
        w.U32(static_cast<std::uint32_t>(res.bytes.size()));
        w.Bytes(res.bytes);
    }
    return out;
}

bool DecodeBatchReply(std::span<const std::uint8_t> payload, BatchReply& reply) {
    ByteReader r(payload);
    std::uint8_t aborted = 0;
    std::uint32_t n = 0;
    if (!r.U8(aborted) || aborted > 1 || !r.U32(n) || n > kMaxBatchEntries ||
        n > r.Remaining() / kResultHeaderSize)
        return false;
    reply.aborted = aborted;
    reply.results.clear();
    for (std::uint32_t i = 0; i < n; ++i) {
        BatchResult res;
        std::uint32_t len = 0;
        if (!r.U8(res.kind) || !ValidKind(res.kind) || !r.U32(len) || !Take(r, res.bytes, len))
            return false;
        reply.results.push_back(std::move(res));
    }
    return r.AtEnd();
}

bool DecodeCommandResult(std::span<const std::uint8_t> bytes, AtaCommandRecord& rec,
                         std::vector<std::vector<std::uint8_t>>* traces) {
    ByteReader r(bytes);
    std::uint8_t raw[AtaCommandRecord::kSize];
    if (!r.Bytes(raw, sizeof raw))
        return false;
    AtaCommandRecord out;
    out.DecodeFrom(raw);
    if (IsReadProtocol(out.Protocol) && out.DataLen > 0) {
        const auto n = static_cast<std::uint32_t>(out.DataLen);
        if (!Take(r, out.Buffer, n))
            return false;
    }
    if (out.Has(WRITELOG)) {
        std::uint32_t count = 0;
        if (!r.U32(count) || count > r.Remaining() / 4)
            return false;
        for (std::uint32_t i = 0; i < count; ++i) {
            std::uint32_t len = 0;
            std::vector<std::uint8_t> t;
            if (!r.U32(len) || !Take(r, t, len))
                return false;
            if (traces)
                traces->push_back(std::move(t));
        }
    }
    if (!r.AtEnd())
        return false;
    rec = std::move(out);
    return true;
}

std::vector<std::uint8_t> EncodeStatusRequest(const std::string& key, bool slave) {
    std::vector<std::uint8_t> out = EncodeKey(key);
    out.push_back(slave ? 1 : 0);
    return out;
}

bool DecodeStatusRequest(std::span<const std::uint8_t> payload, std::string& key, bool& slave) {
    ByteReader r(payload);
    std::uint8_t device = 0;
    if (!GetText16(r, key, kMaxKey) || key.empty() || !r.U8(device) || device > 1 || !r.AtEnd())
        return false;
    slave = device == 1;
    return true;
}

std::vector<std::uint8_t> EncodeRecord(const AtaCommandRecord& rec) {
    auto a = rec.Encode();
    return {a.begin(), a.end()};
}

bool DecodeRecord(std::span<const std::uint8_t> payload, AtaCommandRecord& rec) {
    return payload.size() == AtaCommandRecord::kSize && rec.Decode(payload);
}

std::vector<std::uint8_t> EncodeDeviceRequest(const DeviceRequest& d) {
    std::vector<std::uint8_t> out;
    ByteWriter w(out);
    PutText16(w, Cut(d.key, kMaxKey));
    w.U8(d.slave ? 1 : 0);
    w.U8(d.op);
    w.U8(d.feature);
    const auto rec = d.rec.Encode();
    w.Bytes(std::span<const std::uint8_t>(rec.data(), rec.size()));
    return out;
}

bool DecodeDeviceRequest(std::span<const std::uint8_t> payload, DeviceRequest& d) {
    ByteReader r(payload);
    std::uint8_t device = 0;
    std::uint8_t rec[AtaCommandRecord::kSize];
    if (!GetText16(r, d.key, kMaxKey) || d.key.empty() || !r.U8(device) || device > 1 ||
        !r.U8(d.op) || d.op < OP_DETECT || d.op > OP_SET_FEATURES || !r.U8(d.feature) ||
        !r.Bytes(rec, sizeof rec) || !r.AtEnd())
        return false;
    d.slave = device == 1;
    if (!d.rec.Decode(std::span<const std::uint8_t>(rec, sizeof rec)))
        return false;
    d.rec.Buffer.clear();
    d.rec.DataLen = 0;
    ClampWireLimits(d.rec);
    return true;
}

std::vector<std::uint8_t> EncodeDeviceReply(const DeviceReply& d) {
    std::vector<std::uint8_t> out;
    ByteWriter w(out);
    w.I32(d.result);
    w.U8(d.master ? 1 : 0);
    for (const DriveInfo* info : {&d.masterInfo, &d.slaveInfo}) {
        const auto bytes = info->Encode();
        w.Bytes(std::span<const std::uint8_t>(bytes.data(), bytes.size()));
    }
    w.U8(d.identify ? 1 : 0);
    if (d.identify)
        w.Bytes(std::span<const std::uint8_t>(d.identify->data(), d.identify->size()));
    const auto rec = d.rec.Encode();
    w.Bytes(std::span<const std::uint8_t>(rec.data(), rec.size()));
    return out;
}

bool DecodeDeviceReply(std::span<const std::uint8_t> payload, DeviceReply& d) {
    ByteReader r(payload);
    std::uint8_t master = 0, hasId = 0;
    if (!r.I32(d.result) || !r.U8(master) || master > 1)
        return false;
    d.master = master == 1;
    for (DriveInfo* info : {&d.masterInfo, &d.slaveInfo}) {
        std::array<std::uint8_t, DriveInfo::kSize> bytes{};
        if (!r.Bytes(bytes.data(), bytes.size()) || !info->Decode(bytes))
            return false;
    }
    if (!r.U8(hasId) || hasId > 1)
        return false;
    d.identify.reset();
    if (hasId) {
        std::array<std::uint8_t, 512> id{};
        if (!r.Bytes(id.data(), id.size()))
            return false;
        d.identify = id;
    }
    std::uint8_t rec[AtaCommandRecord::kSize];
    return r.Bytes(rec, sizeof rec) && r.AtEnd() &&
           d.rec.Decode(std::span<const std::uint8_t>(rec, sizeof rec));
}

std::vector<std::uint8_t> EncodeError(std::uint16_t code, const std::string& message) {
    std::vector<std::uint8_t> out;
    ByteWriter w(out);
    w.U16(code);
    PutText16(w, Cut(message, kMaxText));
    return out;
}

bool DecodeError(std::span<const std::uint8_t> payload, std::uint16_t& code, std::string& message) {
    ByteReader r(payload);
    return r.U16(code) && GetText16(r, message, kMaxText) && r.AtEnd();
}

} // namespace zkv::helper
