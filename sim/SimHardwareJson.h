// Loads a simulated hardware description (JSON).
//
//   { "channels": [ { "command_block": 496, "control_block": 1014,
//                     "master": DEVICE, "slave": DEVICE, "floating_bus": 255 } ],
//     "clock": "virtual" | "real" }
//   DEVICE: { "type": "disk" | "packet" | "none" | "mute" | "busy",
//             "model", "serial", "firmware": text            (disk, packet)
//             "sectors": number, "lba48": bool               (disk)
//             "image": path, relative to the file; absent = sparse zeroes in memory (disk)
//             "write_cache", "look_ahead": bool = enabled; both are supported (disk)
//             "defects": [ { "lba": n, "error": "UNC" | "IDNF" | "ABRT" } ]
//             "slow": [ { "lba": n, "count": n, "ms": n } ]
//             "ram": hex text, the controller memory the vendor reads return }
// A missing position is "none". Unknown keys are ignored.
#pragma once

#include "sim/SimIde.h"

#include <string>

namespace zkv {

// Throws std::runtime_error with a readable reason when the text is not a valid description.
SimHardwareConfig ParseSimHardware(const std::string& jsonText, const std::string& baseDir = "");
SimHardwareConfig LoadSimHardware(const std::string& path);

} // namespace zkv
