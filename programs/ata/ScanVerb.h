// zelkova-ata scan: the surface scan engine on one channel, one JSON line per reported block.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace zkv {

class TControllerInfo;

// `args` are the words after "scan". Exit status: 0 when the scan completed, 1 when it was
// stopped or the drive failed to answer, 2 for a usage error.
int RunScanVerb(TControllerInfo& dev, const std::vector<std::string>& args, std::ostream& out,
                std::ostream& err);

} // namespace zkv
