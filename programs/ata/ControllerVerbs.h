// The controller verbs of zelkova-ata:
//   controllers      the controller lists as JSON
//   take KEY         takes the entry's channel from the kernel (the client's Detect step)
//   give KEY [DRIVER]  gives it back (binds DRIVER, or lets the kernel choose)
// Exit status: 0 done, 1 refused or failed, 2 usage errors.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace zkv {

bool IsControllerVerb(const std::string& verb);
int RunControllerVerb(const std::string& hardware, const std::vector<std::string>& command,
                      std::ostream& out, std::ostream& err);

} // namespace zkv
