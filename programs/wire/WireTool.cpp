#include "programs/wire/WireTool.h"

#include "protocol/PacketJson.h"
#include "support/ByteOrder.h"

#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>

namespace zkv::wiretool {
namespace {

constexpr const char* kUsage =
    "usage: zelkova-wire builtin-key\n"
    "       zelkova-wire decode [--key HEX] [FILE]\n"
    "       zelkova-wire encode [--key HEX] [FILE]\n"
    "\n"
    "decode reads a captured one-direction byte stream of the protocol (FILE or standard\n"
    "input) and prints one JSON object per line: each packet with its header and items,\n"
    "keep-alives, bad headers, undecodable bodies and a truncated end.\n"
    "encode reads JSON lines of the same shape and writes the encoded stream to standard\n"
    "output.\n"
    "--key takes the 56-byte Blowfish key as 112 hex digits; the default is the built-in key.\n"
    "Exit status: 0 the whole stream was read, 1 it held a fault, 2 usage error.\n";

int Usage(std::ostream& err, const std::string& why) {
    if (!why.empty())
        err << "zelkova-wire: " << why << "\n";
    err << kUsage;
    return 2;
}

struct Options {
    std::string command;
    std::string keyHex;
    std::string file;
};

bool ParseOptions(const std::vector<std::string>& args, Options& o, std::string& why) {
    if (args.empty()) {
        why = "a command is needed";
        return false;
    }
    o.command = args[0];
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--key") {
            if (++i >= args.size()) {
                why = "--key needs a value";
                return false;
            }
            o.keyHex = args[i];
        } else if (a.rfind("--key=", 0) == 0) {
            o.keyHex = a.substr(6);
        } else if (a == "-") {
            o.file.clear();
        } else if (!a.empty() && a[0] == '-') {
            why = "unknown option " + a;
            return false;
        } else if (o.file.empty()) {
            o.file = a;
        } else {
            why = "only one FILE may be given";
            return false;
        }
    }
    return true;
}

bool MakeTransport(const std::string& keyHex, TransportData& t, std::string& why) {
    if (keyHex.empty())
        return t.UseBuiltinKey();
    std::vector<std::uint8_t> bytes;
    if (keyHex.size() != 2 * kKeyLength || !FromHex(keyHex, bytes)) {
        why = "--key takes exactly 112 hex digits";
        return false;
    }
    Key key;
    std::copy(bytes.begin(), bytes.end(), key.begin());
    return t.UseKey(key);
}

bool ReadAll(const std::string& file, std::istream& in, std::string& data, std::string& why) {
    if (file.empty()) {
        data.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        return true;
    }
    std::ifstream f(file, std::ios::binary);
    if (!f) {
        why = "cannot open " + file;
        return false;
    }
    data.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    return true;
}

int Decode(const TransportData& t, const std::string& data, std::ostream& out) {
    auto bytes = std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(data.data()),
                                               data.size());
    WireStreamReader reader(bytes, t);
    WireEvent ev;
    int rc = 0;
    while (reader.Next(ev)) {
        if (ev.type != WireEvent::Type::Packet && ev.type != WireEvent::Type::Keepalive)
            rc = 1;
        out << WireEventToJson(ev).dump() << "\n";
    }
    return rc;
}

int Encode(const TransportData& t, const std::string& data, std::ostream& out, std::ostream& err) {
    std::istringstream lines(data);
    std::string line;
    std::vector<std::uint8_t> stream;
    int lineNo = 0;
    while (std::getline(lines, line)) {
        ++lineNo;
        if (line.find_first_not_of(" \t\r") == std::string::npos)
            continue;
        Json j = Json::parse(line, nullptr, false);
        std::string why;
        if (j.is_discarded()) {
            err << "zelkova-wire: line " << lineNo << ": not valid JSON\n";
            return 2;
        }
        if (!EncodeJsonPacket(j, t, stream, why)) {
            err << "zelkova-wire: line " << lineNo << ": " << why << "\n";
            return 2;
        }
    }
    out.write(reinterpret_cast<const char*>(stream.data()),
              static_cast<std::streamsize>(stream.size()));
    out.flush();
    return out ? 0 : 1;
}

} // namespace

int Run(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
        std::ostream& err) {
    Options o;
    std::string why;
    if (!ParseOptions(args, o, why))
        return Usage(err, why);
    if (o.command == "--help" || o.command == "-h" || o.command == "help") {
        out << kUsage;
        return 0;
    }
    if (o.command == "builtin-key") {
        if (args.size() != 1)
            return Usage(err, "builtin-key takes no arguments");
        out << ToHex(kBuiltinKey) << "\n";
        return 0;
    }
    if (o.command != "decode" && o.command != "encode")
        return Usage(err, "unknown command " + o.command);
    TransportData t;
    if (!MakeTransport(o.keyHex, t, why))
        return Usage(err, why);
    std::string data;
    if (!ReadAll(o.file, in, data, why))
        return Usage(err, why);
    return o.command == "decode" ? Decode(t, data, out) : Encode(t, data, out, err);
}

} // namespace zkv::wiretool
