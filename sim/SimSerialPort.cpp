#include "sim/SimSerialPort.h"

namespace zkv {

void SimSerialPort::Feed(std::string_view text) {
    if (!IsOpen())
        return;
    Ingest(text);
    Dispatch();
}

bool SimSerialPort::DeviceOpen(int number, const SerialSettings& s) {
    if (!Available(number))
        return false;
    bauds_.push_back(s.baud);
    return true;
}

bool SimSerialPort::DeviceSetBaud(std::int32_t baud) {
    bauds_.push_back(baud);
    return true;
}

bool SimSerialPort::DeviceWrite(std::string_view bytes) {
    written_.append(bytes);
    return true;
}

} // namespace zkv
