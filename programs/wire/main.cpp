// zelkova-wire: decodes and encodes byte streams of the service protocol.
#include "programs/wire/WireTool.h"

#include <iostream>

int main(int argc, char** argv) {
    std::ios::sync_with_stdio(false);
    std::vector<std::string> args(argv + 1, argv + argc);
    return zkv::wiretool::Run(args, std::cin, std::cout, std::cerr);
}
