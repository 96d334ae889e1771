#include "platform/DeviceSetup.h"

#include <algorithm>
#include <cctype>

namespace zkv {
namespace {

bool ValidName(const std::string& s) {
    return !s.empty() && s.size() < 64 && s.find('/') == std::string::npos && s != "." &&
           s != ".." && s.find('\n') == std::string::npos;
}

} // namespace

bool ParseDeviceKey(const std::string& key, std::string& function, int& channel) {
    std::string k = key;
    std::replace(k.begin(), k.end(), '/', '\\');
    if (k.size() < 6 || (k.compare(0, 4, "pci-") != 0 && k.compare(0, 4, "PCI-") != 0))
        return false;
    auto slash = k.rfind('\\');
    if (slash == std::string::npos || slash <= 4 || slash + 1 >= k.size())
        return false;
    const std::string num = k.substr(slash + 1);
    if (num.size() != 1 || num[0] < '0' || num[0] > '2')
        return false;
    function = k.substr(4, slash - 4);
    std::transform(function.begin(), function.end(), function.begin(),
                   [](unsigned char ch) { return static_cast<char>(std::tolower(ch)); });
    channel = num[0] - '0';
    return ValidName(function);
}

std::string MakeDeviceKey(const std::string& function, int channel) {
    return "pci-" + function + "\\" + std::to_string(channel);
}

bool SameDeviceKey(const std::string& a, const std::string& b) {
    std::string fa, fb;
    int ca = 0, cb = 0;
    if (ParseDeviceKey(a, fa, ca) && ParseDeviceKey(b, fb, cb))
        return fa == fb && ca == cb;
    return a == b;
}

} // namespace zkv
