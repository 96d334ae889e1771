// Shows the message dialog with an HTML message and the Cancel, Retry and Help buttons on the
// current display and saves what the screen shows of it as a PNG (run under xvfb-run).
#include "tools/ui/TfrmMessageDlg.h"

#include <QApplication>
#include <QScreen>
#include <QTimer>

#include <cstdio>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const QString out = argc > 1 ? QString::fromLocal8Bit(argv[1]) : "message-dialog.png";
    zkv::TMessageDlgData r;
    r.kind = zkv::MsgDlgType::Warning;
    r.text = "The drive did not answer the <b>IDENTIFY DEVICE</b> command.\n"
             "Check that the jumper is set to <b>Master</b> and try again.\n"
             "<table border=1 cellpadding=2><tr><td>Channel</td><td>Primary</td></tr>"
             "<tr><td>Status</td><td>0x51 DRDY DSC ERR</td></tr></table>"
             "See <a href=\"https://help.example.test/jumpers\">the jumper guide</a>.";
    r.buttons = zkv::mb::Cancel | zkv::mb::Retry;
    r.needHelp = 1;
    r.helpLink = "https://help.example.test/jumpers";
    zkv::TAddMsgData extra;
    zkv::TfrmMessageDlg dlg(r, extra, [](const QUrl&) {});
    dlg.show();
    QTimer::singleShot(1500, [&] {
        const QRect g = dlg.frameGeometry();
        QPixmap shot = dlg.screen()->grabWindow(0, g.x(), g.y(), g.width(), g.height());
        const bool ok = shot.save(out, "PNG");
        std::printf("%s %dx%d\n", ok ? "saved" : "FAILED", shot.width(), shot.height());
        app.exit(ok ? 0 : 1);
    });
    return app.exec();
}
