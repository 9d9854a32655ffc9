#include "ConsoleTestSupport.h"

#include "RequestDispatcher.h"
#include "ServerErrors.h"
#include "TCPAddrDlgU.h"

#include <QAbstractItemModel>
#include <QApplication>
#include <QLineEdit>
#include <QTimer>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace {
const std::string kServerProgram = std::string(ZEPHRAN_BIN_DIR) + "/zephran-testserver";
} // namespace

TReferenceServer::TReferenceServer(const TTempFolder& folder, const nlohmann::json& fixture) {
    static int serial = 0;
    const std::string name = "server" + std::to_string(++serial);
    const std::string path = folder.Path() + name + ".json";
    log_ = folder.Path() + name + ".log";
    std::ofstream(path) << fixture.dump();
    process_ = std::make_unique<TPeerProcess>(
        kServerProgram, std::vector<std::string>{"--fixture", path, "--port", "0", "--log", log_});
}

std::vector<TLoggedRequest> TReferenceServer::Requests() const {
    std::vector<TLoggedRequest> requests;
    std::ifstream in(log_);
    std::string line;
    while (std::getline(in, line)) {
        TLoggedRequest r;
        std::istringstream words(line);
        std::string word;
        while (words >> word) {
            if (word.rfind("code=", 0) == 0)
                r.Code = std::stoi(word.substr(5));
            else if (word.rfind("param=", 0) == 0)
                r.Param = std::stoll(word.substr(6));
            else if (word.rfind("data=", 0) == 0)
                r.DataHex = word.substr(5);
        }
        requests.push_back(r);
    }
    return requests;
}

std::vector<TLoggedRequest> TReferenceServer::Requests(int code) const {
    std::vector<TLoggedRequest> all = Requests();
    std::erase_if(all, [code](const TLoggedRequest& r) { return r.Code != code; });
    return all;
}

nlohmann::json SmallInstallation() {
    return nlohmann::json::parse(R"({
      "administrator_password": "secret",
      "center_name": "کتابخانه مرکزي",
      "center_text": "Central",
      "server_name": "MAIN",
      "database_list": {"stamp": 3, "databases": [
        {"handle": 100, "number": 7, "flags": 1, "text": "SEVEN-T", "name": "SEVEN"},
        {"handle": 101, "number": 8, "text": "E", "name": ""}]},
      "local_connections": [
        {"user_name": "ALI", "security_num": 11, "status": 131, "requests_count": 5,
         "async_requests": 1, "connect_time": "2004-05-17 14:03:22",
         "last_request_time": "2004-05-17 14:05:00",
         "results": [{"kind": 5, "db_handle": 100, "lifetime": 32768},
                     {"kind": 14, "db_handle": 999, "lifetime": 49152},
                     {"kind": 0, "db_handle": 101, "lifetime": 16384}]},
        {"user_name": "سارا", "security_num": 12, "capture_flags": 3, "captured_db_id": 7,
         "requests_count": 9},
        {"user_name": "REZA", "security_num": 13, "status": 5}],
      "web_connections": [
        {"user_name": "web", "user_id": 5, "last_access_time": "2024-12-10 08:30:00"},
        {"user_name": "web", "user_id": 6, "last_access_time": "2024-12-11 09:00:01"}],
      "database_view": [
        {"id": 7, "path": "D:\\DB\\SEVEN", "open": true, "parent": true, "child_ids": [7, 9],
         "results": [{"kind": 2, "user_name": "ALI"}, {"kind": 12, "user_name": "سارا"}]},
        {"id": 9, "path": "E:\\NINE", "open": false}],
      "error_log": {"lines": ["first line", "second line"], "line_end": "lf"}
    })");
}

ConsoleTest::ConsoleTest() {
    previousStore_ = SetConfigStore(&store_);
    std::filesystem::create_directories(folder_.Path() + "TEMP");
}

ConsoleTest::~ConsoleTest() {
    form_.reset();
    DoneErrorLog();
    SetConfigStore(previousStore_);
}

void ConsoleTest::StartServer(const nlohmann::json& fixture) {
    server_ = std::make_unique<TReferenceServer>(folder_, fixture);
    ASSERT_GT(server_->Port(), 0);
}

void ConsoleTest::MakeMainForm() {
    form_ = std::make_unique<TMainForm>(folder_.Path());
    form_->show();
    QCoreApplication::processEvents();
}

bool ConsoleTest::ConnectTcp(int port, const std::string& password) {
    TTCPAddrDlg& dlg = *form_->TCPAddrDlg;
    dlg.IPAddressEdit->setText(QStringLiteral("127.  0.  0.  1"));
    dlg.PortNumEdit->setText(QString::number(port));
    dlg.PasswordEdit->setText(QString::fromStdString(password));
    dlg.OKBtnClick();
    form_->UpdateServerLabels();
    form_->UpdateActions();
    return IsConnected();
}

void WhenModal(std::function<void(QWidget*)> action) {
    // Polls until the modal window is up, then acts once from inside its loop.
    auto* timer = new QTimer;
    QObject::connect(timer, &QTimer::timeout, [timer, action] {
        if (QWidget* modal = QApplication::activeModalWidget()) {
            timer->stop();
            timer->deleteLater();
            action(modal);
        }
    });
    timer->start(5);
}

std::vector<std::string> ColumnTexts(const QAbstractItemModel& model, int column) {
    std::vector<std::string> texts;
    for (int row = 0; row < model.rowCount(); ++row)
        texts.push_back(model.data(model.index(row, column)).toString().toStdString());
    return texts;
}

std::string Hex(const std::vector<std::uint8_t>& bytes) {
    std::string text;
    char pair[3];
    for (std::uint8_t b : bytes) {
        std::snprintf(pair, sizeof pair, "%02x", b);
        text += pair;
    }
    return text;
}
