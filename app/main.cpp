// zelkova-user-client: the desktop client of the Zelkova remote disk repair service.
#include "app/TfrmWorkForm.h"
#include "app/model/ClientOptions.h"
#include "app/model/SessionLog.h"
#include "support/Deployment.h"
#include "support/Termination.h"
#include "support/Version.h"
#include "tools/MessageDialog.h"
#include "tools/ui/QtMainThread.h"
#include "tools/ui/TfrmMessageDlg.h"

#include <QApplication>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <iostream>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace {

int gSignalPipe[2] = {-1, -1};

// Async-signal-safe: a lock-free atomic store and a write to a non-blocking pipe.
void OnTerminate(int) {
    const int saved = errno;
    zkv::RequestTermination();
    const char c = 1;
    if (gSignalPipe[1] >= 0) [[maybe_unused]]
        auto n = ::write(gSignalPipe[1], &c, 1);
    errno = saved;
}

// SIGTERM, SIGINT and SIGHUP are taken from the first instant: before the window exists they
// are remembered, and the start-up stops at its next step.
void CatchTerminationSignals() {
    if (::pipe2(gSignalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        gSignalPipe[0] = gSignalPipe[1] = -1;
    struct sigaction sa {};
    sa.sa_handler = OnTerminate;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (int sig : {SIGTERM, SIGINT, SIGHUP})
        ::sigaction(sig, &sa, nullptr);
}

} // namespace

int main(int argc, char** argv) {
    CatchTerminationSignals();
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

    // A signal closes the window the orderly way (the channel goes back). A dialog open in front
    // of the window, or in front of its start-up, is closed first (it answers as refused); the
    // window closes once that dialog's loop has returned. Until the window exists, a closed
    // dialog is all there is to do: the start-up looks at the request after each step.
    zkv::TfrmWorkForm* formPtr = nullptr;
    std::function<void()> closeOnSignal = [&formPtr, &app, &closeOnSignal] {
        if (QWidget* modal = QApplication::activeModalWidget()) {
            modal->close();
            QTimer::singleShot(50, &app, closeOnSignal);
            return;
        }
        if (formPtr)
            formPtr->CloseWithoutAsking();
    };
    std::optional<QSocketNotifier> notifier;
    if (gSignalPipe[0] >= 0) {
        notifier.emplace(gSignalPipe[0], QSocketNotifier::Read);
        QObject::connect(&*notifier, &QSocketNotifier::activated, &app, [&closeOnSignal] {
            char buf[16];
            while (::read(gSignalPipe[0], buf, sizeof buf) > 0) {
            }
            closeOnSignal();
        });
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
    formPtr = &form;
    if (zkv::TerminationRequested()) {
        // Asked to end while the window was being made: close in order, never show it.
        form.CloseWithoutAsking();
        formPtr = nullptr;
        std::cerr.flush();
        return 0;
    }
    form.show();
    const int rc = app.exec();
    formPtr = nullptr; // a signal during the window's destruction has nothing left to close
    std::cerr.flush();
    return rc;
}
