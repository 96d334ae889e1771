// The controller verbs of zelkova-ata:
//   controllers      the controller lists as JSON
//   take KEY         takes the entry's channel from the kernel (the client's Detect step)
//   give KEY [DRIVER]  gives it back (binds DRIVER, or lets the kernel choose)
// Exit status: 0 done, 1 refused or failed, 2 usage errors.
#pragma once

#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

namespace zkv {

class TControllerInfo;

bool IsControllerVerb(const std::string& verb);
int RunControllerVerb(const std::string& hardware, const std::vector<std::string>& command,
                      std::ostream& out, std::ostream& err);

// Takes the pass-through channel of `device` (on Linux a /dev/sgN or /dev/sdX path, on the
// simulated hardware the channel's key), runs `run` on it and gives it back. Exit 1 with the
// refusal on `out` when the disk is in use, with a line on `err` when the device cannot be
// opened or has no pass-through channel; otherwise what `run` returned.
int RunOnDevice(const std::string& hardware, const std::string& device, std::ostream& out,
                std::ostream& err, const std::function<int(TControllerInfo&)>& run);

} // namespace zkv
