// The protocol inspector's commands, callable from main() and from tests.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace zkv::wiretool {

// Exit codes: 0 whole stream read / written, 1 the stream held a fault, 2 usage error.
int Run(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
        std::ostream& err);

} // namespace zkv::wiretool
