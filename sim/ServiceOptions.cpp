// The service stand-in's command line: the usage text and the options it sets.
#include "sim/ServiceSim.h"

#include "support/ByteOrder.h"

#include <algorithm>
#include <ostream>
#include <sstream>
#include <type_traits>

namespace zkv::sim {

const char* const kUsage =
    "usage: zelkova-service-sim [OPTION]...\n"
    "\n"
    "A loopback stand-in for the service's server. Answers the client's login and engagement\n"
    "request, sends keep-alives, plays a technician script and prints every packet it\n"
    "receives as one JSON line in the form of `zelkova-wire decode`. Lines with an \"event\"\n"
    "key report the server's own doings: listening, connected, closed.\n"
    "\n"
    "Listening:\n"
    "  --bind ADDR            address to listen on (default 127.0.0.1)\n"
    "  --port N               port to listen on, 0 picks a free one (default 4636)\n"
    "  --port-file FILE       write the port number to FILE once listening\n"
    "  --max-connections N    exit once N connections have ended (default: serve until\n"
    "                         SIGINT or SIGTERM)\n"
    "\n"
    "Login reply:\n"
    "  --own-id N             identifier of the first connection; later ones count up (1001)\n"
    "  --login-status S       reply status, decimal or 0x hex (default 0x1001, COMMAND OK)\n"
    "  --result-code N        result code, an error code of the protocol (default 0)\n"
    "  --message TEXT         server message (default \"Welcome to the Zelkova service.\")\n"
    "  --server-version A.B.C.D    server version (default 1.0.0.0)\n"
    "  --dll-version A.B.C.D       server component version (default 0.0.0.0)\n"
    "  --values A,B           the two further values of the reply (default 0,0)\n"
    "  --session-key HEX      per-connection key as 112 hex digits (default: a fresh random\n"
    "                         key for every connection)\n"
    "  --order N              append an order record with order number N (default: none)\n"
    "  --order-model TEXT, --order-serial TEXT, --order-made TEXT\n"
    "                         model, serial number and manufacturing date of that record\n"
    "  --short-login-reply    send a login reply one byte shorter than the client accepts\n"
    "\n"
    "Engagement reply:\n"
    "  --seans-status S       reply status (default 0x1001)\n"
    "  --seans-text TEXT      text shown to the user (default \"The engagement is open.\")\n"
    "  --seans-id N           engagement identifier when the request carries none (77)\n"
    "  --seans-flags N        engagement flags (3)\n"
    "  --seans-log-path TEXT  log location when the request carries none\n"
    "\n"
    "After the engagement is open:\n"
    "  --faults LIST          comma separated, sent in order, each followed by a CMD_SHOW_LOG\n"
    "                         command (reply wanted, item echo = its position from 1) that\n"
    "                         shows the connection survived: keepalive, corrupt-header (one\n"
    "                         flipped bit), huge-header (intact, announcing 1 GiB),\n"
    "                         undecodable-body (intact header, body of random bytes)\n"
    "  --script FILE          a technician script: JSON lines in the input form of\n"
    "                         `zelkova-wire encode`, sent in order with the connection's key\n"
    "                         (see \"Scripts\" below)\n"
    "\n"
    "Delivery:\n"
    "  --keepalive-ms N       send a keep-alive header every N ms (default 0: none)\n"
    "  --split-header         write every header as 20 and then 33 bytes\n"
    "  --body-segment N       write bodies in segments of N bytes\n"
    "  --segment-delay-ms N   pause between the segments of one packet (default 30)\n"
    "  --close-after-ms N     close every connection N ms after accepting it\n"
    "  --close-after-login    close once the login reply is written\n"
    "  --close-after-script   close once the faults and the script are written (after a\n"
    "                         pause that ends the script)\n"
    "\n"
    "  --help                 show this text\n"
    "\n"
    "Scripts (one JSON object a line; docs/service-sim.md has the details):\n"
    "  {\"delay_ms\": N}        pause N ms before the next packet\n"
    "  {\"wait_reply_ms\": N}   wait for the client's reply to the previous packet (same\n"
    "                         exchange_id), at most N ms (up to 600000); on time-out print\n"
    "                         {\"event\": \"wait_timeout\"} and go on\n"
    "  {\"wait_item\": C, \"data_prefix\": HEX, \"ms\": N}   wait until the client sends an\n"
    "                         item of code C whose data begin with HEX (optional) after the\n"
    "                         previous packet, at most N ms; on time-out print wait_timeout\n"
    "  {\"header\": {...}, \"items\": [...]}   a packet; an item may give instead of \"data\"\n"
    "      \"ata\": {command, features, count, lba, device, protocol, time, dataLen, tag,\n"
    "              repeat, flags, result, data, or any register: FR SC SN CL CH DH CR FR1\n"
    "              SN1 SC1 CL1 CH1 ER SR DC AC Data BufferRef}   a CMD_ATA_COMMAND record\n"
    "              (protocol by number or name, e.g. \"PR_PIO_READ\"; flags by number or\n"
    "              names, e.g. [\"EXTADDR\", \"WRITELOG\"]; data = hex bytes to write)\n"
    "      \"wizard\": {message, dlgType, buttons, needHelp, helpLink}   a TWizFormData\n"
    "    a packet with \"ata\" items carries the ATA flag (header flag 8) unless its header\n"
    "    gives \"flags\"\n"
    "  {\"keepalive\": true}    a keep-alive header\n"
    "  A packet that is waited for or carries ATA records gets a fresh exchange_id unless it\n"
    "  gives one. A CMD_SET_KEY item of 56 bytes: the key packet goes out under the old key;\n"
    "  after it the stand-in encodes with the new key, and decodes with it what the client\n"
    "  sends once the key packet is written. Replies to ATA batches are printed with an\n"
    "  \"ata\" member per item: the record's fields, the data read, the trace of each attempt\n"
    "  (or the dialog's answer, \"wizard_result\").\n";

namespace {

bool ToInt(const std::string& s, std::int64_t& out) {
    try {
        std::size_t used = 0;
        long long v = std::stoll(s, &used, 0);
        if (used != s.size())
            return false;
        out = v;
        return true;
    } catch (...) {
        return false;
    }
}

bool ToVersion(const std::string& s, std::array<std::int32_t, 4>& v) {
    std::istringstream in(s);
    std::string part;
    std::size_t i = 0;
    while (std::getline(in, part, '.')) {
        std::int64_t n;
        if (i >= 4 || !ToInt(part, n))
            return false;
        v[i++] = static_cast<std::int32_t>(n);
    }
    return i == 4;
}

std::vector<std::string> SplitCommas(const std::string& s) {
    std::vector<std::string> out;
    std::istringstream in(s);
    std::string part;
    while (std::getline(in, part, ','))
        if (!part.empty())
            out.push_back(part);
    return out;
}

} // namespace

int ParseOptions(const std::vector<std::string>& args, ServiceOptions& o, std::ostream& out,
                 std::ostream& err) {
    auto usage = [&](const std::string& why) {
        err << "zelkova-service-sim: " << why << "\n"
            << "Try 'zelkova-service-sim --help'.\n";
        return 2;
    };
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string a = args[i];
        std::string value;
        bool hasInlineValue = false;
        if (auto eq = a.find('='); a.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = a.substr(eq + 1);
            a = a.substr(0, eq);
            hasInlineValue = true;
        }
        auto flag = [&](bool& target) {
            if (hasInlineValue)
                return false;
            target = true;
            return true;
        };
        auto next = [&](std::string& v) {
            if (hasInlineValue) {
                v = value;
                return true;
            }
            if (i + 1 >= args.size())
                return false;
            v = args[++i];
            return true;
        };
        auto number = [&](std::int64_t lo, std::int64_t hi, auto& target) {
            std::string v;
            std::int64_t n;
            if (!next(v) || !ToInt(v, n) || n < lo || n > hi)
                return false;
            target = static_cast<std::remove_reference_t<decltype(target)>>(n);
            return true;
        };
        constexpr std::int64_t kI32Min = -2147483648LL, kI32Max = 2147483647LL;
        constexpr std::int64_t kU32Max = 4294967295LL;
        bool ok = true;
        std::string v;
        if (a == "--help" || a == "-h") {
            out << kUsage;
            return 1;
        } else if (a == "--bind") {
            ok = next(o.bind);
        } else if (a == "--port") {
            ok = number(0, 65535, o.port);
        } else if (a == "--port-file") {
            ok = next(o.portFile);
        } else if (a == "--max-connections") {
            ok = number(0, kI32Max, o.maxConnections);
        } else if (a == "--own-id") {
            ok = number(kI32Min, kI32Max, o.firstOwnId);
        } else if (a == "--login-status") {
            ok = number(kI32Min, kU32Max, o.loginStatus);
        } else if (a == "--result-code") {
            ok = number(kI32Min, kI32Max, o.resultCode);
        } else if (a == "--message") {
            ok = next(o.message);
        } else if (a == "--server-version") {
            ok = next(v) && ToVersion(v, o.serverVersion);
        } else if (a == "--dll-version") {
            ok = next(v) && ToVersion(v, o.dllVersion);
        } else if (a == "--values") {
            std::int64_t x, y;
            auto parts = next(v) ? SplitCommas(v) : std::vector<std::string>{};
            ok = parts.size() == 2 && ToInt(parts[0], x) && ToInt(parts[1], y);
            if (ok) {
                o.valueA = static_cast<std::int32_t>(x);
                o.valueB = static_cast<std::int32_t>(y);
            }
        } else if (a == "--session-key") {
            std::vector<std::uint8_t> bytes;
            ok = next(v) && v.size() == 2 * kKeyLength && FromHex(v, bytes);
            if (ok) {
                Key k;
                std::copy(bytes.begin(), bytes.end(), k.begin());
                o.sessionKey = k;
            }
        } else if (a == "--order") {
            ok = number(kI32Min, kI32Max, o.order);
        } else if (a == "--order-model") {
            ok = next(o.orderModel);
        } else if (a == "--order-serial") {
            ok = next(o.orderSerial);
        } else if (a == "--order-made") {
            ok = next(o.orderMade);
        } else if (a == "--short-login-reply") {
            ok = flag(o.shortLoginReply);
        } else if (a == "--seans-status") {
            ok = number(kI32Min, kU32Max, o.seansStatus);
        } else if (a == "--seans-text") {
            ok = next(o.seansText);
        } else if (a == "--seans-id") {
            ok = number(kI32Min, kI32Max, o.seansId);
        } else if (a == "--seans-flags") {
            ok = number(kI32Min, kI32Max, o.seansFlags);
        } else if (a == "--seans-log-path") {
            ok = next(o.seansLogPath);
        } else if (a == "--faults") {
            ok = next(v);
            for (const std::string& f : SplitCommas(v)) {
                if (f != "keepalive" && f != "corrupt-header" && f != "huge-header" &&
                    f != "undecodable-body")
                    return usage("unknown fault " + f);
                o.faults.push_back(f);
            }
        } else if (a == "--script") {
            ok = next(o.scriptFile);
        } else if (a == "--keepalive-ms") {
            ok = number(0, kI32Max, o.keepaliveMs);
        } else if (a == "--split-header") {
            ok = flag(o.splitHeader);
        } else if (a == "--body-segment") {
            ok = number(0, kI32Max, o.bodySegment);
        } else if (a == "--segment-delay-ms") {
            ok = number(0, 60000, o.segmentDelayMs);
        } else if (a == "--close-after-ms") {
            ok = number(0, kI32Max, o.closeAfterMs);
        } else if (a == "--close-after-login") {
            ok = flag(o.closeAfterLogin);
        } else if (a == "--close-after-script") {
            ok = flag(o.closeAfterScript);
        } else {
            return usage("unknown option " + a);
        }
        if (!ok)
            return usage("bad or missing value for " + a);
    }
    return 0;
}

} // namespace zkv::sim
