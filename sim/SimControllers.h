// The disk controllers of the simulated hardware, as the device setup shows them.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace zkv {

struct SimControllerConfig {
    enum class Kind { Ide, Raid, Ahci, Scsi, Nvme };
    Kind kind = Kind::Ide;
    std::string address = "0000:00:01.1"; // the PCI address, also the key's stem
    std::uint16_t vendor = 0x8086;
    std::uint16_t device = 0x7010;
    std::uint32_t subsystem = 0; // as in the hardware ID: device in the high half, vendor low
    std::uint8_t revision = 0;
    std::string description;         // empty: a text by kind
    std::string driver = "ata_piix"; // bound at start; empty: none
    // IDE: the simulated channels (indexes into "channels") behind the primary and the
    // secondary position; -1 or missing: a position with the standard ports and nothing on it.
    std::vector<int> channels = {0, 1};
    bool native = false;        // IDE: native-mode ports (from the channels) instead of legacy
    bool inUse = false;         // the running system uses a disk behind it: never taken
    bool restartNeeded = false; // taking or giving back completes only after a restart
    std::vector<std::pair<std::uint32_t, std::uint32_t>> ranges; // adapters: their I/O ranges
};

} // namespace zkv
