#include "sim/SimHardwareJson.h"

#include "sim/HexNumber.h"
#include "support/ByteOrder.h"

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>

namespace zkv {
namespace {

using nlohmann::json;

[[noreturn]] void Bad(const std::string& what) {
    throw std::runtime_error("simulated hardware: " + what);
}

std::uint64_t Number(const json& j, const char* key, std::uint64_t def, std::uint64_t max) {
    if (!j.contains(key))
        return def;
    const json& v = j[key];
    if (!v.is_number_integer() || (!v.is_number_unsigned() && v.get<std::int64_t>() < 0))
        Bad(std::string("\"") + key + "\" must be a non-negative integer");
    auto n = v.get<std::uint64_t>();
    if (n > max)
        Bad(std::string("\"") + key + "\" is out of range");
    return n;
}

bool Bool(const json& j, const char* key, bool def) {
    if (!j.contains(key))
        return def;
    if (!j[key].is_boolean())
        Bad(std::string("\"") + key + "\" must be true or false");
    return j[key].get<bool>();
}

std::string Text(const json& j, const char* key, const std::string& def) {
    if (!j.contains(key))
        return def;
    if (!j[key].is_string())
        Bad(std::string("\"") + key + "\" must be a text");
    return j[key].get<std::string>();
}

SimDeviceConfig Device(const json& j, const std::string& baseDir) {
    SimDeviceConfig d;
    if (j.is_null())
        return d;
    if (!j.is_object())
        Bad("a device must be an object");
    std::string type = Text(j, "type", "none");
    if (type == "disk")
        d.type = SimDeviceConfig::Type::Disk;
    else if (type == "packet")
        d.type = SimDeviceConfig::Type::Packet;
    else if (type == "none")
        d.type = SimDeviceConfig::Type::None;
    else if (type == "mute")
        d.type = SimDeviceConfig::Type::Mute;
    else if (type == "busy")
        d.type = SimDeviceConfig::Type::Busy;
    else
        Bad("unknown device type \"" + type + "\"");
    if (d.type == SimDeviceConfig::Type::Packet) {
        d.model = "ZELKOVA SIMULATED CD";
        d.serial = "ZKVCD00001";
    }
    d.model = Text(j, "model", d.model);
    d.serial = Text(j, "serial", d.serial);
    d.firmware = Text(j, "firmware", d.firmware);
    d.sectors = Number(j, "sectors", 0, 1ULL << 48);
    d.lba48 = Bool(j, "lba48", true);
    d.image = Text(j, "image", "");
    if (!d.image.empty() && d.image[0] != '/' && !baseDir.empty())
        d.image = baseDir + "/" + d.image;
    d.writeCache = Bool(j, "write_cache", true);
    d.lookAhead = Bool(j, "look_ahead", true);
    d.endlessDrq = Bool(j, "endless_drq", false);
    if (j.contains("defects")) {
        if (!j["defects"].is_array())
            Bad("\"defects\" must be a list");
        for (const json& e : j["defects"]) {
            if (!e.is_object())
                Bad("a defect must be an object");
            SimDefect def;
            def.lba = Number(e, "lba", 0, 1ULL << 48);
            std::string err = Text(e, "error", "UNC");
            if (err == "UNC")
                def.kind = SimDefectKind::UNC;
            else if (err == "IDNF")
                def.kind = SimDefectKind::IDNF;
            else if (err == "ABRT")
                def.kind = SimDefectKind::ABRT;
            else
                Bad("unknown defect error \"" + err + "\"");
            d.defects.push_back(def);
        }
    }
    if (j.contains("slow")) {
        if (!j["slow"].is_array())
            Bad("\"slow\" must be a list");
        for (const json& e : j["slow"]) {
            if (!e.is_object())
                Bad("a slow range must be an object");
            SimSlow s;
            s.lba = Number(e, "lba", 0, 1ULL << 48);
            s.count = Number(e, "count", 1, 1ULL << 48);
            s.ms = static_cast<std::uint32_t>(Number(e, "ms", 0, 3'600'000));
            s.us = static_cast<std::uint32_t>(Number(e, "us", 0, 999'999));
            d.slow.push_back(s);
        }
    }
    std::string ram = Text(j, "ram", "");
    if (!ram.empty() && !FromHex(ram, d.ram))
        Bad("\"ram\" must be hex text of whole bytes");
    return d;
}

// A number, or a text of hex digits (PCI IDs read better that way: "8086").
std::uint64_t HexOrNumber(const json& j, const char* key, std::uint64_t def, std::uint64_t max) {
    if (j.contains(key) && j[key].is_string()) {
        std::uint32_t v = 0;
        if (!ParseHexNumber(j[key].get<std::string>(), v))
            Bad(std::string("\"") + key + "\" must be hex digits");
        if (v > max)
            Bad(std::string("\"") + key + "\" is out of range");
        return v;
    }
    return Number(j, key, def, max);
}

SimControllerConfig Controller(const json& j, std::size_t channelCount) {
    if (!j.is_object())
        Bad("a controller must be an object");
    SimControllerConfig c;
    const std::string kind = Text(j, "kind", "ide");
    using K = SimControllerConfig::Kind;
    if (kind == "ide")
        c.kind = K::Ide;
    else if (kind == "raid")
        c.kind = K::Raid;
    else if (kind == "ahci")
        c.kind = K::Ahci;
    else if (kind == "scsi")
        c.kind = K::Scsi;
    else if (kind == "nvme")
        c.kind = K::Nvme;
    else
        Bad("unknown controller kind \"" + kind + "\"");
    c.address = Text(j, "address", "");
    if (c.address.empty() || c.address.size() > 32 || c.address.find('/') != std::string::npos ||
        c.address.find('\\') != std::string::npos)
        Bad("a controller needs an \"address\" like \"0000:00:01.1\"");
    c.vendor = static_cast<std::uint16_t>(HexOrNumber(j, "vendor", 0x8086, 0xFFFF));
    c.device = static_cast<std::uint16_t>(
        HexOrNumber(j, "device", c.kind == K::Ide ? 0x7010 : 0x2922, 0xFFFF));
    c.subsystem = static_cast<std::uint32_t>(HexOrNumber(j, "subsystem", 0, 0xFFFFFFFF));
    c.revision = static_cast<std::uint8_t>(HexOrNumber(j, "revision", 0, 0xFF));
    c.description = Text(j, "description", "");
    c.driver = Text(j, "driver", c.kind == K::Ide ? "ata_piix" : "ahci");
    c.native = Bool(j, "native", false);
    c.inUse = Bool(j, "in_use", false);
    c.restartNeeded = Bool(j, "restart_needed", false);
    if (j.contains("channels")) {
        if (!j["channels"].is_array() || j["channels"].size() > 2)
            Bad("\"channels\" of a controller must be a list of at most two indexes");
        c.channels.clear();
        for (const json& n : j["channels"]) {
            if (!n.is_number_integer())
                Bad("a controller's channel must be an index");
            const auto v = n.get<std::int64_t>();
            if (v >= static_cast<std::int64_t>(channelCount))
                Bad("a controller's channel index is past the \"channels\" list");
            c.channels.push_back(v < 0 ? -1 : static_cast<int>(v));
        }
    }
    if (j.contains("ranges")) {
        if (!j["ranges"].is_array() || j["ranges"].size() > 16)
            Bad("\"ranges\" must be a list of at most 16 [start, end] pairs");
        for (const json& r : j["ranges"]) {
            if (!r.is_array() || r.size() != 2 || !r[0].is_number_unsigned() ||
                !r[1].is_number_unsigned() || r[0].get<std::uint64_t>() > 0xFFFF ||
                r[1].get<std::uint64_t>() > 0xFFFF ||
                r[1].get<std::uint64_t>() < r[0].get<std::uint64_t>())
                Bad("a range must be [start, end] within 0..65535");
            c.ranges.emplace_back(r[0].get<std::uint32_t>(), r[1].get<std::uint32_t>());
        }
    }
    return c;
}

} // namespace

SimHardwareConfig ParseSimHardware(const std::string& text, const std::string& baseDir) {
    json j;
    try {
        j = json::parse(text);
    } catch (const json::exception& e) {
        Bad(std::string("not JSON: ") + e.what());
    }
    if (!j.is_object() || !j.contains("channels") || !j["channels"].is_array())
        Bad("a \"channels\" list is required");
    SimHardwareConfig cfg;
    std::string clock = Text(j, "clock", "virtual");
    if (clock != "virtual" && clock != "real")
        Bad("\"clock\" must be \"virtual\" or \"real\"");
    cfg.realClock = clock == "real";
    const std::string restart = Text(j, "restart", "refused");
    if (restart != "refused" && restart != "accepted")
        Bad("\"restart\" must be \"refused\" or \"accepted\"");
    cfg.restartAccepted = restart == "accepted";
    if (const std::string state = Text(j, "setup_state", ""); !state.empty())
        cfg.setupState = (std::filesystem::path(baseDir) / state).string();
    for (const json& c : j["channels"]) {
        if (!c.is_object())
            Bad("a channel must be an object");
        if (!c.contains("command_block") || !c.contains("control_block"))
            Bad("a channel needs \"command_block\" and \"control_block\"");
        SimChannelConfig ch;
        ch.commandBlock = static_cast<std::uint16_t>(Number(c, "command_block", 0, 0xFFF8));
        ch.controlBlock = static_cast<std::uint16_t>(Number(c, "control_block", 0, 0xFFFF));
        ch.floatingBus = static_cast<std::uint8_t>(Number(c, "floating_bus", 0xFF, 0xFF));
        ch.passThrough = Bool(c, "pass_through", false);
        ch.master = Device(c.contains("master") ? c["master"] : json(), baseDir);
        ch.slave = Device(c.contains("slave") ? c["slave"] : json(), baseDir);
        cfg.channels.push_back(std::move(ch));
    }
    if (j.contains("controllers")) {
        if (!j["controllers"].is_array() || j["controllers"].size() > 16)
            Bad("\"controllers\" must be a list of at most 16 controllers");
        for (const json& c : j["controllers"]) {
            cfg.controllers.push_back(Controller(c, cfg.channels.size()));
            for (std::size_t k = 0; k + 1 < cfg.controllers.size(); ++k)
                if (cfg.controllers[k].address == cfg.controllers.back().address)
                    Bad("two controllers at " + cfg.controllers.back().address);
        }
    } else {
        // One IDE controller in legacy mode over the first two channels.
        SimControllerConfig ide;
        ide.channels.clear();
        for (std::size_t k = 0; k < 2; ++k)
            ide.channels.push_back(k < cfg.channels.size() ? static_cast<int>(k) : -1);
        cfg.controllers.push_back(ide);
    }
    return cfg;
}

SimHardwareConfig LoadSimHardware(const std::string& path) {
    std::ifstream in(path);
    if (!in)
        Bad("cannot read " + path);
    std::stringstream ss;
    ss << in.rdbuf();
    std::string dir;
    if (auto slash = path.rfind('/'); slash != std::string::npos)
        dir = path.substr(0, slash);
    return ParseSimHardware(ss.str(), dir);
}

} // namespace zkv
