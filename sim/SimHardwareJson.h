// Loads a simulated hardware description (JSON).
//
//   { "channels": [ { "command_block": 496, "control_block": 1014,
//                     "master": DEVICE, "slave": DEVICE, "floating_bus": 255 } ],
//     "clock": "virtual" | "real",
//     "setup_state": path,    the device setup's drivers kept between processes (optional)
//     "restart": "refused" | "accepted" }   the computer's answer to a restart or power-off
//                             request (default "refused"); nothing is switched off either way
//   DEVICE: { "type": "disk" | "packet" | "none" | "mute" | "busy",
//             "model", "serial", "firmware": text            (disk, packet)
//             "sectors": number, "lba48": bool               (disk)
//             "image": path, relative to the file; absent = sparse zeroes in memory (disk)
//             "write_cache", "look_ahead": bool = enabled; both are supported (disk)
//             "endless_drq": bool, reads never end: DRQ stays up (disk)
//             "defects": [ { "lba": n, "error": "UNC" | "IDNF" | "ABRT" } ]
//             "slow": [ { "lba": n, "count": n, "ms": n } ]
//             "ram": hex text, the controller memory the vendor reads return }
// A missing position is "none". Unknown keys are ignored.
//
// Optional, the disk controllers the device setup lists (at most 16):
//   "controllers": [ { "address": "0000:00:01.1",            PCI address, unique (required)
//                      "kind": "ide" | "raid" | "ahci" | "scsi" | "nvme"      (default "ide")
//                      "vendor", "device": number or hex text ("8086", "7010" for ide)
//                      "subsystem": number or hex text (device high, vendor low), "revision"
//                      "description": text (default: by kind)
//                      "driver": the kernel driver bound at start ("" = none; default
//                                "ata_piix" for ide, "ahci" otherwise)
//                      "channels": [primary, secondary] indexes into "channels"; -1 = a
//                                  position with the standard ports and nothing on it (ide)
//                      "native": bool, ports from the channels rather than legacy (ide)
//                      "in_use": bool, a mounted disk sits behind it: never taken
//                      "restart_needed": bool, taking/giving back completes after a restart
//                      "ranges": [[start, end], ...] the I/O ranges of an adapter } ]
// Without "controllers": one IDE controller at 0000:00:01.1 (8086:7010, ata_piix), legacy mode,
// whose primary and secondary are the first two channels. A legacy-mode channel still reaches
// its simulated channel at that channel's own command and control blocks.
#pragma once

#include "sim/SimIde.h"

#include <string>

namespace zkv {

// Throws std::runtime_error with a readable reason when the text is not a valid description.
SimHardwareConfig ParseSimHardware(const std::string& jsonText, const std::string& baseDir = "");
SimHardwareConfig LoadSimHardware(const std::string& path);

} // namespace zkv
