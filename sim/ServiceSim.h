// The service stand-in: a loopback server that speaks the service's side of the protocol well
// enough for the client's tests and demo.
//
// It answers the login (with a fresh per-connection key, an identifier, optionally an order
// record, a chosen result code and message) and the engagement request; sends keep-alive
// headers; plays a technician script of JSON lines once the engagement is open (packets,
// pauses, waits for the client's reply, ATA batches given as records by field name); and
// prints every packet it receives in the protocol inspector's decode form, replies to ATA
// batches with their records, data and traces decoded. On request it misbehaves
// the ways a network and a broken server can: headers split over segments, bodies in tiny
// segments, damaged headers, undecodable bodies, connections closed early.
#pragma once

#include "protocol/TransportData.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

namespace zkv::sim {

struct ServiceOptions {
    std::string bind = "127.0.0.1";
    int port = 4636;
    std::string portFile;

    std::int32_t firstOwnId = 1001;
    std::int32_t loginStatus = 0x1001;
    std::int32_t resultCode = 0;
    std::string message = "Welcome to the Zelkova service.";
    std::array<std::int32_t, 4> serverVersion{1, 0, 0, 0};
    std::array<std::int32_t, 4> dllVersion{0, 0, 0, 0};
    std::int32_t valueA = 0;
    std::int32_t valueB = 0;
    std::optional<Key> sessionKey; // none: a fresh random key per connection
    bool shortLoginReply = false;

    std::int32_t order = 0; // 0: no order record
    std::string orderModel = "ST380011A";
    std::string orderSerial = "5JV1XYZ2";
    std::string orderMade = "2004-05-17";

    std::int32_t seansStatus = 0x1001;
    std::string seansText = "The engagement is open.";
    std::int32_t seansId = 77;
    std::int32_t seansFlags = 3;
    std::string seansLogPath = "logs/engagement-77";

    int keepaliveMs = 0;
    std::string scriptFile;
    std::vector<std::string> faults; // keepalive, corrupt-header, huge-header, undecodable-body

    bool splitHeader = false;
    int bodySegment = 0; // 0: whole bodies
    int segmentDelayMs = 30;

    int closeAfterMs = 0;
    bool closeAfterLogin = false;
    bool closeAfterScript = false;
    int maxConnections = 0; // 0: serve until stopped
};

// Parses the command line (without the program name). Returns 0 to run, 1 when --help was
// printed to `out`, 2 on a usage error (printed to `err`).
int ParseOptions(const std::vector<std::string>& args, ServiceOptions& o, std::ostream& out,
                 std::ostream& err);
extern const char* const kUsage;

// Serves until `stop` is set or the connection limit is reached. Packets received go to `out`
// as JSON lines; diagnostics to `err`. Returns the exit status.
int Serve(const ServiceOptions& o, std::ostream& out, std::ostream& err,
          const std::atomic<bool>& stop);

} // namespace zkv::sim
