// zelkova-ata: ATA diagnostics on one IDE channel, with JSON on standard output.
//
//   zelkova-ata [--hardware linux | --hardware sim:FILE] [--channel CMD:CTL] [--slave] COMMAND
//     detect | identify | status | read LBA [COUNT] | exec RECORD [DATA]
// Exit status: 0 when the engine's result is 0, 1 for any other result, 2 for usage errors and
// when port access cannot be had.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace zkv {

int RunAtaTool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

} // namespace zkv
