// Any bytes read as a wizard record: a record that reads dumps, and writes back to a stream
// that reads to the same fields.
#include "tools/WizFormData.h"

#include <cstdlib>

using namespace zkv;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    TWizFormData w;
    if (w.ReadFromBytes({data, size}) != 0)
        return 0;
    std::vector<std::string> lines;
    if (w.Dump(lines) != 0)
        std::abort();
    TWizFormData again;
    if (again.ReadFromBytes(w.ToBytes()) != 0 || again.message != w.message ||
        again.dlgType != w.dlgType || again.buttons != w.buttons || again.result != w.result ||
        again.needHelp != w.needHelp || again.helpLink != w.helpLink)
        std::abort();
    return 0;
}
