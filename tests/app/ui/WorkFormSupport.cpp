#include "tests/app/ui/WorkFormSupport.h"

#include <QTextBrowser>

namespace zkv::test {

UserInfo FormUnderTest::DefaultUser() {
    UserInfo u;
    u.userName = "NoName";
    u.email = "user@example.org";
    u.password = "482916";
    u.orderNumber = 17;
    return u;
}

FormUnderTest::FormUnderTest(const std::string& host, int port, ProxySetting proxy, UserInfo user) {
    proxy.serverHost = host;
    proxy.serverPort = port;
    SaveUserData(dir.File("user.dat"), user, proxy);
    sessionLog.Open(dir.Path());
    form = std::make_unique<TfrmWorkForm>(Startup());
}

WorkFormStartup FormUnderTest::Startup() {
    WorkFormStartup s;
    s.dataDir.dir = dir.Path();
    s.sessionLog = &sessionLog;
    s.updateUrl = "http://127.0.0.1:" + std::to_string(FreePort()) + "/zelkova/autoupdate.txt";
    UseLabChannel(s, dir);
    return s;
}

void FormUnderTest::UseLabChannel(WorkFormStartup& s, const TempDir& dir) {
    dir.Write("hardware.json", R"({"channels": [{"command_block": 496, "control_block": 1014,)"
                               R"( "master": {"type": "disk", "model": "LAB DISK"}}]})");
    s.hardware = "sim:" + dir.File("hardware.json");
    s.controller = "pci-0000:00:01.1\\1";
    s.unattended = true;
}

std::vector<std::string> FormUnderTest::WindowLines() const {
    QString text = form->wbLog->toPlainText();
    text.replace(QChar::LineSeparator, '\n');
    text.replace(QChar::ParagraphSeparator, '\n');
    std::vector<std::string> out;
    for (const QString& l : text.split('\n'))
        if (!l.trimmed().isEmpty())
            out.push_back(l.trimmed().toStdString());
    return out;
}

std::vector<std::string> FormUnderTest::FileLines() const {
    const std::string raw = ReadFile(sessionLog.Path());
    std::string plain;
    bool inTag = false;
    for (char c : raw) {
        if (c == '<')
            inTag = true;
        else if (c == '>')
            inTag = false;
        else if (!inTag)
            plain += c;
    }
    std::vector<std::string> out;
    std::size_t at = 0;
    while (at <= plain.size()) {
        std::size_t end = plain.find('\n', at);
        if (end == std::string::npos)
            end = plain.size();
        std::string line = plain.substr(at, end - at);
        while (!line.empty() && (line.back() == '\r' || line.back() == ' '))
            line.pop_back();
        while (!line.empty() && line.front() == ' ')
            line.erase(0, 1);
        if (!line.empty())
            out.push_back(line);
        at = end + 1;
    }
    return out;
}

bool FormUnderTest::Shows(const std::string& text) const {
    return CountShown(text) > 0;
}

int FormUnderTest::CountShown(const std::string& text) const {
    int n = 0;
    for (const auto& l : WindowLines())
        n += l.find(text) != std::string::npos;
    return n;
}

std::string FormUnderTest::WindowText() const {
    std::string out;
    for (const auto& l : WindowLines())
        out += l + "\n";
    return out;
}

} // namespace zkv::test
