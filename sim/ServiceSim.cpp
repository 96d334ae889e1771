// The service stand-in's server loop: listens, accepts connections, polls every session for
// what it has to read and write and when it next wakes, and reports the connections' events.
#include "sim/ServiceSim.h"

#include "sim/ServiceSession.h"

#include "support/AtomicFile.h"

#include <algorithm>
#include <list>
#include <memory>
#include <ostream>
#include <poll.h>

namespace zkv::sim {

namespace {
using Clock = ServiceSession::Clock;
} // namespace

int Serve(const ServiceOptions& o, std::ostream& out, std::ostream& err,
          const std::atomic<bool>& stop) {
    std::vector<ScriptStep> script;
    if (!o.scriptFile.empty() && !ReadScript(o.scriptFile, script, err))
        return 2;
    TcpListener listener;
    std::string error;
    if (!listener.Listen(o.bind, static_cast<std::uint16_t>(o.port), &error)) {
        err << "zelkova-service-sim: " << error << "\n";
        return 1;
    }
    if (!o.portFile.empty() &&
        !WriteFileAtomically(o.portFile, std::to_string(listener.Port()) + "\n", 0644, &error)) {
        err << "zelkova-service-sim: " << error << "\n";
        return 1;
    }
    out << Json{{"event", "listening"}, {"address", o.bind}, {"port", listener.Port()}}.dump()
        << std::endl;

    std::list<std::unique_ptr<ServiceSession>> sessions;
    int accepted = 0;
    int ended = 0;
    while (!stop.load()) {
        if (o.maxConnections > 0 && ended >= o.maxConnections)
            break;
        const auto now = Clock::now();
        std::vector<pollfd> fds;
        fds.push_back({listener.Fd(), POLLIN, 0});
        auto wake = now + std::chrono::milliseconds(200);
        for (auto& s : sessions) {
            short events = POLLIN;
            if (s->WantsWrite(now))
                events |= POLLOUT;
            fds.push_back({s->Fd(), events, 0});
            wake = std::min(wake, s->NextWake(now));
        }
        int timeout = static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(wake - now).count());
        ::poll(fds.data(), fds.size(), std::max(timeout, 0));

        if (fds[0].revents & POLLIN) {
            int fd = listener.Accept(0);
            if (fd >= 0) {
                ++accepted;
                sessions.push_back(std::make_unique<ServiceSession>(
                    fd, accepted, o.firstOwnId + accepted - 1, o, script, out, err));
                out << Json{{"event", "connected"}, {"connection", accepted}}.dump() << std::endl;
            }
        }
        std::size_t k = 1;
        for (auto& s : sessions) {
            if (k < fds.size() && fds[k].fd == s->Fd() &&
                (fds[k].revents & (POLLIN | POLLHUP | POLLERR)))
                s->OnReadable();
            ++k;
            if (s->Open())
                s->Service(Clock::now());
        }
        for (auto it = sessions.begin(); it != sessions.end();) {
            if (!(*it)->Open()) {
                out << Json{{"event", "closed"}, {"connection", (*it)->Index()}}.dump()
                    << std::endl;
                ++ended;
                it = sessions.erase(it);
            } else {
                ++it;
            }
        }
    }
    return 0;
}

} // namespace zkv::sim
