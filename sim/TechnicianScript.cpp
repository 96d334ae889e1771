#include "sim/TechnicianScript.h"

#include "protocol/Vocabulary.h"
#include "support/ByteOrder.h"
#include "support/ClientLog.h"
#include "support/CodePage.h"

#include <array>
#include <fstream>
#include <ostream>
#include <utility>

namespace zkv::sim {

namespace {

constexpr std::array<std::pair<const char*, std::uint32_t>, 13> kFlagNames = {{
    {"WRDC", WRDC},
    {"RDAC", RDAC},
    {"WRDATA", WRDATA},
    {"EXTADDR", EXTADDR},
    {"RESETENABLE", RESETENABLE},
    {"READREGS", READREGS},
    {"IGNOREERRORS", IGNOREERRORS},
    {"NOWRITECOMMAND", NOWRITECOMMAND},
    {"NOREADYDRSC", NOREADYDRSC},
    {"QUANTUMCMD", QUANTUMCMD},
    {"OLDQUANTUMCMD", OLDQUANTUMCMD},
    {"WRITELOG", WRITELOG},
    {"IGNOREERRWAIT", IGNOREERRWAIT},
}};

// The byte registers of the record, by their names.
struct ByteField {
    const char* name;
    std::uint8_t AtaCommandRecord::*field;
};
constexpr std::array<ByteField, 17> kByteFields = {{
    {"FR", &AtaCommandRecord::FR},
    {"SC", &AtaCommandRecord::SC},
    {"SN", &AtaCommandRecord::SN},
    {"CL", &AtaCommandRecord::CL},
    {"CH", &AtaCommandRecord::CH},
    {"DH", &AtaCommandRecord::DH},
    {"CR", &AtaCommandRecord::CR},
    {"FR1", &AtaCommandRecord::FR1},
    {"SN1", &AtaCommandRecord::SN1},
    {"SC1", &AtaCommandRecord::SC1},
    {"CL1", &AtaCommandRecord::CL1},
    {"CH1", &AtaCommandRecord::CH1},
    {"ER", &AtaCommandRecord::ER},
    {"SR", &AtaCommandRecord::SR},
    {"DC", &AtaCommandRecord::DC},
    {"AC", &AtaCommandRecord::AC},
    {"protocol", &AtaCommandRecord::Protocol},
}};

constexpr std::array<const char*, 14> kNamedKeys = {
    "command", "features", "count", "lba",    "device", "time", "dataLen",
    "tag",     "repeat",   "flags", "result", "data",   "Data", "BufferRef"};

bool Unsigned(const Json& j, const char* key, std::uint64_t max, std::uint64_t& out,
              std::string& error) {
    const Json& v = j.at(key);
    if (!v.is_number_integer() || v.get<std::int64_t>() < 0 || v.get<std::uint64_t>() > max) {
        error =
            std::string("\"") + key + "\" must be a whole number from 0 to " + std::to_string(max);
        return false;
    }
    out = v.get<std::uint64_t>();
    return true;
}

bool Protocol(const Json& v, std::uint8_t& out, std::string& error) {
    if (v.is_number_integer() && v.get<std::int64_t>() >= 0 && v.get<std::int64_t>() <= 255) {
        out = static_cast<std::uint8_t>(v.get<int>());
        return true;
    }
    if (v.is_string())
        for (int p = 0; p < kAtaProtocolCount; ++p)
            if (v.get<std::string>() == ProtocolLogName(p) ||
                v.get<std::string>() == ProtocolDisplayName(p)) {
                out = static_cast<std::uint8_t>(p);
                return true;
            }
    error = "\"protocol\" must be 0 to 255 or a protocol name such as \"PR_PIO_READ\"";
    return false;
}

bool Flags(const Json& v, std::uint32_t& out, std::string& error) {
    if (v.is_number_integer() && v.get<std::int64_t>() >= 0 &&
        v.get<std::int64_t>() <= 0xFFFFFFFFLL) {
        out = v.get<std::uint32_t>();
        return true;
    }
    if (v.is_array()) {
        out = 0;
        for (const Json& name : v) {
            bool found = false;
            for (const auto& [n, bit] : kFlagNames)
                if (name.is_string() && name.get<std::string>() == n) {
                    out |= bit;
                    found = true;
                }
            if (!found) {
                error = "unknown ATA flag " + name.dump();
                return false;
            }
        }
        return true;
    }
    error = "\"flags\" must be a number or an array of flag names such as \"WRITELOG\"";
    return false;
}

void PutText(ByteWriter& w, const std::string& s) {
    w.I32(static_cast<std::int32_t>(s.size()));
    w.Bytes(std::string_view(s));
}

// Replaces the "ata" or "wizard" object of every item by its data; `ataItems` tells whether an
// "ata" object was among them.
bool ExpandItems(Json& line, bool& ataItems, std::string& error) {
    ataItems = false;
    if (!line.contains("items") || !line["items"].is_array())
        return true;
    for (Json& it : line["items"]) {
        if (!it.is_object())
            continue;
        const bool ata = it.contains("ata"), wizard = it.contains("wizard");
        if (!ata && !wizard)
            continue;
        if ((ata && wizard) || it.contains("data")) {
            error = "an item gives only one of \"data\", \"ata\" and \"wizard\"";
            return false;
        }
        std::vector<std::uint8_t> data;
        if (ata ? !AtaItemData(it["ata"], data, error) : !WizardItemData(it["wizard"], data, error))
            return false;
        if (!it.contains("code"))
            it["code"] = ata ? CMD_ATA_COMMAND : CMD_SHOW_WIZARD_FORM;
        it.erase(ata ? "ata" : "wizard");
        it["data"] = ToHex(data);
        ataItems |= ata;
    }
    return true;
}

} // namespace

bool AtaItemData(const Json& a, std::vector<std::uint8_t>& data, std::string& error) {
    if (!a.is_object()) {
        error = "\"ata\" must be an object";
        return false;
    }
    for (const auto& [key, value] : a.items()) {
        bool known = false;
        for (const char* k : kNamedKeys)
            known |= key == k;
        for (const ByteField& f : kByteFields)
            known |= key == f.name;
        if (!known) {
            error = "unknown ATA record field \"" + key + "\"";
            return false;
        }
    }
    AtaCommandRecord rec;
    std::uint64_t v = 0;
    if (a.contains("protocol") && !Protocol(a["protocol"], rec.Protocol, error))
        return false;
    if (a.contains("flags") && !Flags(a["flags"], rec.Flags, error))
        return false;
    const bool ext = rec.Has(EXTADDR);
    std::vector<std::uint8_t> trailing;
    if (a.contains("data") &&
        (!a["data"].is_string() || !FromHex(a["data"].get<std::string>(), trailing))) {
        error = "\"data\" must be a string of hex digit pairs";
        return false;
    }
    rec.DH = 0xA0;
    rec.Time = 10000;
    if (a.contains("command")) {
        if (!Unsigned(a, "command", 0xFF, v, error))
            return false;
        rec.CR = static_cast<std::uint8_t>(v);
    }
    if (a.contains("features")) {
        if (!Unsigned(a, "features", ext ? 0xFFFF : 0xFF, v, error))
            return false;
        rec.FR = static_cast<std::uint8_t>(v);
        rec.FR1 = static_cast<std::uint8_t>(v >> 8);
    }
    std::uint64_t count = 0;
    if (a.contains("count")) {
        if (!Unsigned(a, "count", ext ? 0xFFFF : 0xFF, count, error))
            return false;
        rec.SC = static_cast<std::uint8_t>(count);
        rec.SC1 = static_cast<std::uint8_t>(count >> 8);
    }
    if (a.contains("lba")) {
        if (!Unsigned(a, "lba", ext ? 0xFFFFFFFFFFFFULL : 0x0FFFFFFFULL, v, error))
            return false;
        rec.SN = static_cast<std::uint8_t>(v);
        rec.CL = static_cast<std::uint8_t>(v >> 8);
        rec.CH = static_cast<std::uint8_t>(v >> 16);
        if (ext) {
            rec.SN1 = static_cast<std::uint8_t>(v >> 24);
            rec.CL1 = static_cast<std::uint8_t>(v >> 32);
            rec.CH1 = static_cast<std::uint8_t>(v >> 40);
            rec.DH = 0xE0;
        } else {
            rec.DH = static_cast<std::uint8_t>(0xE0 | ((v >> 24) & 0x0F));
        }
    }
    if (a.contains("device")) {
        if (!Unsigned(a, "device", 0xFF, v, error))
            return false;
        rec.DH = static_cast<std::uint8_t>(v);
    }
    struct Word {
        const char* key;
        std::uint64_t max;
        std::uint64_t* out;
    };
    std::uint64_t time = 10000, dataLen = 0, tag = 0, repeat = 0, result = 0, word = 0, ref = 0;
    // Without "dataLen": the bytes given for a write, the sectors counted for a read.
    if (IsWriteProtocol(rec.Protocol))
        dataLen = trailing.size();
    else if (IsReadProtocol(rec.Protocol))
        dataLen = count * 512;
    for (const Word& w : {Word{"time", 0x7FFFFFFF, &time}, Word{"dataLen", 0x7FFFFFFF, &dataLen},
                          Word{"tag", 0xFFFFFFFF, &tag}, Word{"repeat", 0xFFFFFFFF, &repeat},
                          Word{"result", 0x7FFFFFFF, &result}, Word{"Data", 0xFFFF, &word},
                          Word{"BufferRef", 0xFFFFFFFF, &ref}})
        if (a.contains(w.key) && !Unsigned(a, w.key, w.max, *w.out, error))
            return false;
    rec.Time = static_cast<std::int32_t>(time);
    rec.DataLen = static_cast<std::int32_t>(dataLen);
    rec.Tag = static_cast<std::uint32_t>(tag);
    rec.RepeatCnt = static_cast<std::uint32_t>(repeat);
    rec.Result = static_cast<std::int32_t>(result);
    rec.Data = static_cast<std::uint16_t>(word);
    rec.BufferRef = static_cast<std::uint32_t>(ref);
    // Registers by name come last and win over what the convenience fields set.
    for (const ByteField& f : kByteFields) {
        if (!a.contains(f.name) || std::string_view(f.name) == "protocol")
            continue;
        if (!Unsigned(a, f.name, 0xFF, v, error))
            return false;
        rec.*f.field = static_cast<std::uint8_t>(v);
    }
    const auto bytes = rec.Encode();
    data.assign(bytes.begin(), bytes.end());
    data.insert(data.end(), trailing.begin(), trailing.end());
    return true;
}

bool WizardItemData(const Json& wz, std::vector<std::uint8_t>& data, std::string& error) {
    if (!wz.is_object()) {
        error = "\"wizard\" must be an object";
        return false;
    }
    try {
        data.clear();
        ByteWriter w(data);
        w.I32(wz.value("version", 1));
        PutText(w, wz.value("class", std::string("TWizFormData")));
        // The script is UTF-8; the wire's texts are Windows-1252, as the service sends them.
        PutText(w, Utf8ToWire(wz.value("message", std::string())));
        w.I32(wz.value("dlgType", 1));
        w.I32(wz.value("buttons", 0));
        w.I32(wz.value("result", 0));
        w.U8(static_cast<std::uint8_t>(wz.value("needHelp", 0)));
        PutText(w, Utf8ToWire(wz.value("helpLink", std::string())));
        if (wz.contains("truncate")) {
            std::uint64_t n = 0;
            if (!Unsigned(wz, "truncate", 0xFFFFFFFF, n, error))
                return false;
            if (n < data.size())
                data.resize(n);
        }
    } catch (const Json::exception& e) {
        error = std::string("\"wizard\": ") + e.what();
        return false;
    }
    return true;
}

bool ParseScriptLine(const Json& in, ScriptStep& step, std::string& error) {
    if (!in.is_object()) {
        error = "not a JSON object";
        return false;
    }
    auto whole = [&](const char* key, int& out, long long max) {
        const Json& v = in.at(key);
        if (!v.is_number_integer() || v.get<long long>() < 0 || v.get<long long>() > max) {
            error = std::string(key) + " must be a whole number of milliseconds up to " +
                    std::to_string(max);
            return false;
        }
        out = static_cast<int>(v.get<long long>());
        return true;
    };
    step = ScriptStep{};
    if (in.contains("delay_ms")) {
        step.kind = ScriptStep::Kind::Delay;
        return whole("delay_ms", step.ms, 0x7FFFFFFF);
    }
    if (in.contains("wait_item")) {
        step.kind = ScriptStep::Kind::WaitItem;
        const Json& c = in.at("wait_item");
        if (!c.is_number_unsigned() || c.get<std::uint64_t>() > 0xFFFF) {
            error = "wait_item must be an item code";
            return false;
        }
        step.itemCode = c.get<std::uint32_t>();
        if (in.contains("data_prefix")) {
            const Json& h = in.at("data_prefix");
            if (!h.is_string() || !FromHex(h.get<std::string>(), step.dataStart)) {
                error = "data_prefix must be hex bytes";
                return false;
            }
        }
        if (!in.contains("ms")) {
            error = "wait_item needs \"ms\", the longest wait";
            return false;
        }
        return whole("ms", step.ms, kMaxWaitMs);
    }
    if (in.contains("wait_reply_ms")) {
        step.kind = ScriptStep::Kind::WaitReply;
        return whole("wait_reply_ms", step.ms, kMaxWaitMs);
    }
    Json line = in;
    bool ataItems = false;
    if (!ExpandItems(line, ataItems, error))
        return false;
    // A batch of ATA records travels with the ATA flag unless the header says otherwise.
    if (ataItems && (!line.contains("header") ||
                     (line["header"].is_object() && !line["header"].contains("flags"))))
        line["header"]["flags"] = kPacketFlagAta;
    PacketRecord p;
    bool keepalive = false;
    if (!PacketFromJson(line, p, keepalive, error))
        return false;
    step.ata = !keepalive && (p.header.flags & kPacketFlagAta) != 0;
    step.exchangeIdGiven = p.header.exchangeId != 0;
    step.packet = std::move(line);
    return true;
}

bool ReadScript(const std::string& file, std::vector<ScriptStep>& script, std::ostream& err) {
    std::ifstream in(file);
    if (!in) {
        err << "zelkova-service-sim: cannot open " << file << "\n";
        return false;
    }
    std::string text;
    int lineNo = 0;
    while (std::getline(in, text)) {
        ++lineNo;
        if (text.find_first_not_of(" \t\r") == std::string::npos)
            continue;
        Json j = Json::parse(text, nullptr, false);
        ScriptStep step;
        std::string why = "not a JSON object";
        bool ok = false;
        try {
            ok = !j.is_discarded() && ParseScriptLine(j, step, why);
        } catch (const Json::exception& e) {
            why = e.what();
        }
        if (!ok) {
            err << "zelkova-service-sim: " << file << ":" << lineNo << ": " << why << "\n";
            return false;
        }
        script.push_back(std::move(step));
    }
    return true;
}

Json AtaRecordToJson(const AtaCommandRecord& r) {
    Json j = Json::object();
    j["Data"] = r.Data;
    for (const ByteField& f : kByteFields)
        j[f.name] = r.*f.field;
    j["protocol_name"] = ProtocolLogName(r.Protocol);
    j["Time"] = r.Time;
    j["BufferRef"] = r.BufferRef;
    j["DataLen"] = r.DataLen;
    j["Tag"] = r.Tag;
    j["result"] = r.Result;
    if (const char* name = ErrorNameOrNull(r.Result))
        j["result_name"] = name;
    j["RepeatCnt"] = r.RepeatCnt;
    j["Flags"] = r.Flags;
    Json names = Json::array();
    for (const auto& [n, bit] : kFlagNames)
        if (r.Flags & bit)
            names.push_back(n);
    j["flag_names"] = std::move(names);
    return j;
}

Json DecodeTrace(std::span<const std::uint8_t> trace) {
    Json out = Json::array();
    ByteReader in(trace);
    while (!in.AtEnd()) {
        std::uint8_t kind = 0;
        in.U8(kind);
        Json e = Json::object();
        std::string text;
        std::uint32_t repeat = 0;
        bool ok = true;
        if (kind <= CClientLog::kText16)
            ok = in.ZText(text);
        if (ok && kind != CClientLog::kText)
            ok = in.U32(repeat);
        std::uint16_t value = 0;
        if (ok && (kind == CClientLog::kText8 || kind == CClientLog::kRun8)) {
            std::uint8_t b = 0;
            ok = in.U8(b);
            value = b;
        } else if (ok && (kind == CClientLog::kText16 || kind == CClientLog::kRun16)) {
            ok = in.U16(value);
        } else if (kind > CClientLog::kRun16) {
            ok = false;
        }
        if (!ok) {
            out.push_back(Json{{"undecoded", ToHex(trace.subspan(in.Position()))}});
            break;
        }
        if (kind <= CClientLog::kText16)
            e["text"] = text;
        if (kind != CClientLog::kText) {
            e["repeat"] = repeat;
            e["value"] = value;
        }
        out.push_back(std::move(e));
    }
    return out;
}

Json DecodeAtaReply(std::span<const std::uint8_t> data) {
    if (data.empty())
        return nullptr;
    if (data.size() == 4)
        return Json{{"wizard_result", GetI32(data.data())}};
    Json out = Json::object();
    AtaCommandRecord rec;
    if (!rec.Decode(data)) {
        out["error"] = "shorter than a record";
        return out;
    }
    out["record"] = AtaRecordToJson(rec);
    ByteReader in(data, AtaCommandRecord::kSize);
    if (IsReadProtocol(rec.Protocol) && rec.DataLen > 0) {
        const auto n = static_cast<std::size_t>(rec.DataLen);
        if (in.Remaining() < n) {
            out["error"] = "data shorter than DataLen";
            return out;
        }
        out["data"] = ToHex(data.subspan(in.Position(), n));
        in.Skip(n);
    }
    if (rec.Has(WRITELOG)) {
        std::uint32_t count = 0;
        Json attempts = Json::array();
        if (!in.U32(count)) {
            out["error"] = "no trace count";
            return out;
        }
        for (std::uint32_t i = 0; i < count; ++i) {
            std::uint32_t n = 0;
            if (!in.U32(n) || in.Remaining() < n) {
                out["error"] = "trace " + std::to_string(i + 1) + " of " + std::to_string(count) +
                               " is cut short";
                break;
            }
            attempts.push_back(DecodeTrace(data.subspan(in.Position(), n)));
            in.Skip(n);
        }
        out["trace"] = std::move(attempts);
    }
    if (!in.AtEnd() && !out.contains("error"))
        out["error"] = std::to_string(in.Remaining()) + " bytes past the announced payload";
    return out;
}

} // namespace zkv::sim
