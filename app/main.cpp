// zelkova-user-client: the desktop client of the Zelkova remote disk repair service.
#include "app/TfrmWorkForm.h"
#include "app/model/ClientOptions.h"
#include "app/model/SessionLog.h"
#include "support/Deployment.h"
#include "support/Version.h"
#include "tools/MessageDialog.h"
#include "tools/ui/QtMainThread.h"
#include "tools/ui/TfrmMessageDlg.h"

#include <QApplication>
#include <QSocketNotifier>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <iostream>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace {

int gSignalPipe[2] = {-1, -1};

void OnTerminate(int) {
    const char c = 1;
    [[maybe_unused]] auto n = ::write(gSignalPipe[1], &c, 1);
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    const zkv::ClientOptions options = zkv::ParseClientOptions(args);
    switch (options.action) {
    case zkv::ClientOptions::Action::Help:
        std::cout << zkv::ClientUsage();
        return 0;
    case zkv::ClientOptions::Action::Version:
        std::cout << "zelkova-user-client " << zkv::kProgramVersionText << "\n";
        return 0;
    case zkv::ClientOptions::Action::Error:
        std::cerr << "zelkova-user-client: " << options.error << "\n"
                  << "Try 'zelkova-user-client --help'.\n";
        return 2;
    case zkv::ClientOptions::Action::Run:
        break;
    }

    zkv::WorkFormStartup startup;
    startup.dataDir.dir = options.dataDir.empty() ? zkv::DefaultDataDirectory()
                                                  : std::filesystem::path(options.dataDir);
    startup.hardware = options.hardware;
    static_cast<zkv::LabOptions&>(startup) = options;
    std::error_code ec;
    std::filesystem::create_directories(startup.dataDir.dir, ec);
    if (ec) {
        std::cerr << "zelkova-user-client: cannot create the data directory " << startup.dataDir.dir
                  << ": " << ec.message() << "\n";
        return 1;
    }
    ::chmod(startup.dataDir.dir.c_str(), 0700);

    zkv::SessionLog sessionLog;
    if (sessionLog.Open(startup.dataDir.dir.string())) {
        std::cerr << "zelkova-user-client: session log " << sessionLog.Path() << "\n";
        startup.sessionLog = &sessionLog;
    } else {
        std::cerr << "zelkova-user-client: no session log: " << sessionLog.Error() << "\n";
    }

    QApplication app(argc, argv);
    QApplication::setApplicationName("Zelkova User Client");

    // SIGTERM, SIGINT and SIGHUP close the window the orderly way (the channel goes back).
    if (::pipe(gSignalPipe) == 0) {
        std::signal(SIGTERM, OnTerminate);
        std::signal(SIGINT, OnTerminate);
        std::signal(SIGHUP, OnTerminate);
    }
    // Worker threads reach the window through the GUI thread's event loop; questions go to the
    // Qt dialog. With --unattended the window installs its own answerer, which logs each answer
    // in the window and on standard error.
    zkv::QtMainThread mainThread;
    zkv::SetMainThread(&mainThread);
    zkv::QtMessageDialog qtDialog;
    std::optional<zkv::ScopedMessageDialog> dialog;
    if (!options.unattended)
        dialog.emplace(qtDialog);
    zkv::TfrmWorkForm form(startup);
    // A dialog open in front of the window is closed first (its answer is the close box's);
    // the window closes once that dialog's loop has returned.
    std::function<void()> closeOnSignal = [&form, &closeOnSignal] {
        if (QWidget* modal = QApplication::activeModalWidget()) {
            modal->close();
            QTimer::singleShot(50, &form, closeOnSignal);
            return;
        }
        form.CloseWithoutAsking();
    };
    QSocketNotifier notifier(gSignalPipe[0], QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, &form, [&closeOnSignal] {
        char c;
        [[maybe_unused]] auto n = ::read(gSignalPipe[0], &c, 1);
        closeOnSignal();
    });
    form.show();
    const int rc = app.exec();
    std::cerr.flush();
    return rc;
}
