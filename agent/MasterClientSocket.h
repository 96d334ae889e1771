// MasterClientSocket: the identifiers of the client's connection, between the packet processor
// and the client's protocol engine.
#pragma once

#include "protocol/UniSocket.h"

#include <atomic>
#include <cstdint>
#include <string_view>

namespace zkv {

class MasterClientSocket : public UniSocket {
public:
    MasterClientSocket() { SetOwnRole(Role::CLIENT); }

    // The connection identifier the server gave in the last login reply; goes out in header
    // offset 15 of every packet. It keeps the previous connection's value until the next login
    // reply, as the server expects.
    std::int32_t OwnId() const { return ownId_; }
    void SetOwnId(std::int32_t id) { ownId_ = id; }
    // The technician's connection attached to this client, 0 when none.
    std::int32_t PartnerId() const { return partnerId_; }
    void SetPartnerId(std::int32_t id) { partnerId_ = id; }
    // Two values of the login reply that the client keeps without using them.
    std::int32_t ServerValueA() const { return serverValueA_; }
    std::int32_t ServerValueB() const { return serverValueB_; }

    // Writes a bold line to the user-visible log.
    virtual void LogBoldText(std::string_view) {}
    // The technician left (CMD_CLOSE_CHAT).
    virtual void TechnicianLeft() {}
    // The connection closed; called by the owner of the connection from its disconnect event.
    virtual void ConnectionClosed() {}

protected:
    void SetServerValues(std::int32_t a, std::int32_t b) {
        serverValueA_ = a;
        serverValueB_ = b;
    }

private:
    // Read by the framing on whichever thread sends (the ATA worker's replies).
    std::atomic<std::int32_t> ownId_{0};
    std::atomic<std::int32_t> partnerId_{0};
    std::int32_t serverValueA_ = 0;
    std::int32_t serverValueB_ = 0;
};

} // namespace zkv
