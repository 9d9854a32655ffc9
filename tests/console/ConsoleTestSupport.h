#pragma once

// What the window tests share: a reference server started with a fixture and logging every
// request, a console main window on a temporary program folder, the recording presenter and
// an in-memory configuration store.

#include "ConfigStore.h"
#include "MainU.h"
#include "MessagePresenters.h"
#include "Processes.h"
#include "RequestDispatcher.h"
#include "ServerErrors.h"
#include "TempFolder.h"

#include <QApplication>
#include <QLabel>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <functional>
#include <memory>
#include <string>
#include <vector>

// One request line of the server's log.
struct TLoggedRequest {
    int Code = 0;
    long long Param = 0;
    std::string DataHex;
};

class TReferenceServer {
public:
    TReferenceServer(const TTempFolder& folder, const nlohmann::json& fixture);
    int Port() const { return process_->Port(); }
    std::vector<TLoggedRequest> Requests() const;
    std::vector<TLoggedRequest> Requests(int code) const;

private:
    std::string log_;
    std::unique_ptr<TPeerProcess> process_;
};

// A small installation: two databases, local and web connections, status and a log.
nlohmann::json SmallInstallation();

class ConsoleTest : public ::testing::Test {
protected:
    ConsoleTest();
    ~ConsoleTest() override;

    // Starts the reference server with the fixture.
    void StartServer(const nlohmann::json& fixture);
    // Makes the main window (as the program does at start) and shows it.
    void MakeMainForm();
    // Connects through the TCP dialog's Connect button; true when a server is connected.
    bool ConnectTcp(int port, const std::string& password);

    TTempFolder folder_;
    TMemoryConfigStore store_;
    TRecordingMessagePresenter boxes_;
    std::unique_ptr<TReferenceServer> server_;
    std::unique_ptr<TMainForm> form_;

private:
    IConfigStore* previousStore_;
};

// Runs `action` once the next modal window is up (from inside its event loop).
void WhenModal(std::function<void(QWidget*)> action);
// The texts of a model's column, top to bottom.
class QAbstractItemModel;
std::vector<std::string> ColumnTexts(const QAbstractItemModel& model, int column);
std::string Hex(const std::vector<std::uint8_t>& bytes);
