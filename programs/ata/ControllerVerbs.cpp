#include "programs/ata/ControllerVerbs.h"

#include "controllers/ChannelHardware.h"
#include "controllers/ControllerList.h"
#include "platform/LinuxAtaPassThrough.h"

#include <filesystem>
#include <nlohmann/json.hpp>
#include <ostream>

namespace zkv {
namespace {

using nlohmann::json;

json EntryJson(const TClassInfo& c, const TControllerInfo& e) {
    json ranges = json::array();
    for (const IoRange& r : e.Ranges())
        ranges.push_back({r.start, r.end});
    return {{"key", e.Driver},
            {"class", c.Name()},
            {"index", e.Index},
            {"driver_index", e.DriverIndex},
            {"description", e.DeviceDesc},
            {"mfg", e.Mfg},
            {"service", e.Service},
            {"hardware_id", e.HardwareID},
            {"compatible_ids", e.CompatibleIDs},
            {"location", e.LocationInformation},
            {"chanals", e.Chanals},
            {"ranges", ranges},
            {"disabled", e.Disabled},
            {"disableable", e.Disableable},
            {"in_use", e.Refusal}};
}

json EntryJsonAll(const TClassInfo& c, const TControllerInfo& e) {
    json j = EntryJson(c, e);
    if (!e.PassThrough.empty()) {
        j["passthrough"] = e.PassThrough;
        j["block"] = e.Block;
    }
    return j;
}

int Usage(std::ostream& err, const std::string& why) {
    err << "zelkova-ata: " << why << "\n"
        << "usage: zelkova-ata [--hardware linux | --hardware sim:FILE] controllers | take KEY | "
           "give KEY [DRIVER]\n";
    return 2;
}

} // namespace

bool IsControllerVerb(const std::string& verb) {
    return verb == "controllers" || verb == "take" || verb == "give";
}

int RunControllerVerb(const std::string& hardware, const std::vector<std::string>& command,
                      std::ostream& out, std::ostream& err) {
    const std::string& verb = command[0];
    if (verb == "controllers" && command.size() != 1)
        return Usage(err, "controllers takes no arguments");
    if (verb == "take" && command.size() != 2)
        return Usage(err, "take needs KEY");
    if (verb == "give" && (command.size() < 2 || command.size() > 3))
        return Usage(err, "give needs KEY [DRIVER]");
    std::string error;
    auto hw = ChannelHardware::Open(hardware, error);
    if (!hw)
        return Usage(err, error);
    TClassInfoList list(hw->Setup(), hw->Port(), hw->Clock(), hw->PassThroughOpener());

    if (verb == "controllers") {
        json entries = json::array();
        for (auto& c : list.Classes())
            for (auto& e : c->Entries())
                entries.push_back(EntryJsonAll(*c, *e));
        out << json{{"controllers", entries}}.dump() << "\n";
        return 0;
    }
    TControllerInfo* e = list.FindByKey(command[1]);
    if (!e) {
        out << json{{"key", command[1]}, {"ok", false}, {"message", "Wrong controller address."}}
                   .dump()
            << "\n";
        return 1;
    }
    if (verb == "take") {
        bool restart = false, ok = false;
        std::string message = "Wrong controller address.";
        const bool wasDisabled = e->Disabled;
        const int r = e->PrepareForRepair(restart, ok, message);
        out << json{{"key", e->Driver},
                    {"ok", ok},
                    {"refused", r != 0},
                    {"message", ok ? "" : message},
                    {"reason", e->Refusal},
                    {"restart_needed", restart},
                    {"already_disabled", wasDisabled},
                    {"driver", e->KernelDriver}}
                   .dump()
            << "\n";
        return ok ? 0 : 1;
    }
    // give
    if (command.size() == 3)
        e->KernelDriver = command[2];
    bool restart = false;
    const int r = e->EnableChannel(restart);
    e->RefreshStatus();
    out << json{{"key", e->Driver},
                {"ok", r == 0},
                {"message", r == 0 ? "" : e->Refusal},
                {"restart_needed", restart},
                {"disabled", e->Disabled}}
               .dump()
        << "\n";
    return r == 0 ? 0 : 1;
}

int RunOnDevice(const std::string& hardware, const std::string& device, std::ostream& out,
                std::ostream& err, const std::function<int(TControllerInfo&)>& run) {
    std::string error;
    auto hw = ChannelHardware::Open(hardware, error);
    if (!hw)
        return Usage(err, error);
    TClassInfoList list(hw->Setup(), hw->Port(), hw->Clock(), hw->PassThroughOpener());
    namespace fs = std::filesystem;
    // On Linux the device is named by its node (links such as /dev/disk/by-id/... followed).
    std::string node = device;
    if (!hw->Simulated()) {
        std::error_code ec;
        const fs::path real = fs::canonical(device, ec);
        if (ec) {
            err << "zelkova-ata: " << device << " can not be opened: " << ec.message() << "\n";
            return 1;
        }
        node = real.string();
    }
    TControllerInfo* entry = nullptr;
    for (auto& c : list.Classes())
        for (auto& e : c->Entries()) {
            if (e->PassThrough.empty() || !e->Drivable())
                continue;
            const bool match =
                hw->Simulated()
                    ? SameDeviceKey(e->Driver, node)
                    : (e->PassThrough == node || (!e->Block.empty() && "/dev/" + e->Block == node));
            if (match && !entry)
                entry = e.get();
        }
    if (!entry) {
        err << "zelkova-ata: " << device << " is not a disk on an ATA pass-through channel\n";
        return 1;
    }
    bool restart = false, ok = false;
    std::string message;
    if (entry->PrepareForRepair(restart, ok, message) != 0 || !ok) {
        out << json{{"device", device},
                    {"key", entry->Driver},
                    {"ok", false},
                    {"message", message},
                    {"reason", entry->Refusal}}
                   .dump()
            << "\n";
        return 1;
    }
    int r = 1;
    std::string why;
    LinuxAtaPassThrough probe;
    if (!hw->Simulated() && !probe.Open(entry->PassThrough, why)) {
        err << "zelkova-ata: " << entry->PassThrough << " can not be opened: " << why << "\n";
    } else {
        probe.Close();
        r = run(*entry);
    }
    bool restartAfter = false;
    entry->EnableChannel(restartAfter);
    return r;
}

} // namespace zkv
