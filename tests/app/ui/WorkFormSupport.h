// Helpers for tests that drive the work form: a data directory with a user.dat, the lines the
// window shows, the lines the session log holds.
#pragma once

#include "app/TfrmWorkForm.h"
#include "app/model/SessionLog.h"
#include "tests/app/ui/RealServers.h"

#include <memory>
#include <string>
#include <vector>

namespace zkv::test {

// A work form on its own data directory and session log.
struct FormUnderTest {
    // Writes user.dat for a login to host:port (directly unless `proxy` says otherwise).
    FormUnderTest(const std::string& host, int port, ProxySetting proxy = {},
                  UserInfo user = DefaultUser());
    static UserInfo DefaultUser();
    // The start-up options of a test form on this directory: simulated ports, no person (the
    // login dialog is skipped for valid data), the version file on a loopback port nobody
    // listens on (the check ends at once with "Can not determine upgrades existence.").
    WorkFormStartup Startup();
    // A simulated channel with a disk on the primary master, chosen by --controller and
    // detected without questions (--unattended), so that StartConnect goes on to connect.
    static void UseLabChannel(WorkFormStartup& s, const TempDir& dir);

    // The lines of the window's log as the user sees them.
    std::vector<std::string> WindowLines() const;
    // The lines of the session log file, tags removed.
    std::vector<std::string> FileLines() const;
    // True when a window line contains `text`.
    bool Shows(const std::string& text) const;
    int CountShown(const std::string& text) const;
    std::string WindowText() const;

    TempDir dir;
    SessionLog sessionLog;
    std::unique_ptr<TfrmWorkForm> form;
};

} // namespace zkv::test
