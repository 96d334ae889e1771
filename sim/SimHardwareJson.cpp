#include "sim/SimHardwareJson.h"

#include "support/ByteOrder.h"

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
            d.slow.push_back(s);
        }
    }
    std::string ram = Text(j, "ram", "");
    if (!ram.empty() && !FromHex(ram, d.ram))
        Bad("\"ram\" must be hex text of whole bytes");
    return d;
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
    for (const json& c : j["channels"]) {
        if (!c.is_object())
            Bad("a channel must be an object");
        if (!c.contains("command_block") || !c.contains("control_block"))
            Bad("a channel needs \"command_block\" and \"control_block\"");
        SimChannelConfig ch;
        ch.commandBlock = static_cast<std::uint16_t>(Number(c, "command_block", 0, 0xFFF8));
        ch.controlBlock = static_cast<std::uint16_t>(Number(c, "control_block", 0, 0xFFFF));
        ch.floatingBus = static_cast<std::uint8_t>(Number(c, "floating_bus", 0xFF, 0xFF));
        ch.master = Device(c.contains("master") ? c["master"] : json(), baseDir);
        ch.slave = Device(c.contains("slave") ? c["slave"] : json(), baseDir);
        cfg.channels.push_back(std::move(ch));
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
