// Figures for the console's views against the reference server, each beside the request work
// alone in the same run:
//  - the local connections view with 10000 connections of 50 results each: RefreshView with
//    its models filled against the request and its decoding; moving the current row;
//  - the same grid filtered by one typed letter, sorted, and all of its rows copied, each beside
//    that refresh;
//  - the error log view with a 10 MB log: RefreshView against the chunk requests alone;
//  - the error log view with a 64 MB log: a find of a new text (every match counted) and the
//    next match, beside the view's load.

#include "BenchServer.h"
#include "ConnectLogin.h"
#include "ConsoleRequests.h"
#include "ErrLogFormU.h"
#include "GridTools.h"
#include "LocConnFormU.h"
#include "MessagePresenters.h"
#include "RequestDispatcher.h"
#include "ServerErrors.h"
#include "ViewRules.h"

#include <QApplication>
#include <QLineEdit>
#include <QTableView>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

template <typename F> double BestOf(int runs, F f) {
    double best = 1e18;
    for (int i = 0; i < runs; ++i) {
        const auto t0 = Clock::now();
        f();
        best = std::min(best, Ms(Clock::now() - t0));
    }
    return best;
}

void LocalConnectionsView(const std::string& fixtures) {
    TBenchServer server(fixtures + "/bench-locals.json");
    if (!Connect(server))
        return;
    const double request = BestOf(3, [] {
        TLocConnList list;
        GetLocalConnList(1, list);
    });
    TLocConnForm form;
    form.resize(900, 600);
    form.show();
    QApplication::processEvents();
    const double view = BestOf(3, [&] {
        form.RefreshView();
        QApplication::processEvents();
    });
    const int rows = form.Connections->rowCount();
    // An automatic refresh keeps the current row by its key among all the rows.
    form.SetCurrentRow(rows / 2);
    const double automatic = BestOf(3, [&] {
        if (!form.AutoRefresh->Run(true))
            std::printf("  the automatic refresh failed\n");
        QApplication::processEvents();
    });
    const bool kept = form.CurrentRow() == rows / 2;
    std::vector<double> moves;
    for (int i = 1; i < std::min(rows, 200); ++i) {
        const auto t0 = Clock::now();
        form.SetCurrentRow((i * 37) % rows);
        QApplication::processEvents();
        moves.push_back(Ms(Clock::now() - t0));
    }
    std::sort(moves.begin(), moves.end());
    Disconnect();
    std::printf("local connections view, %d connections with 50 results each\n", rows);
    std::printf("  request and decoding alone:   %8.1f ms\n", request);
    std::printf("  RefreshView, models filled:   %8.1f ms\n", view);
    std::printf("  ratio view/request: %.2f (target <= 1.50)\n", view / request);
    std::printf("  automatic refresh, place kept: %8.1f ms%s\n", automatic,
                kept ? "" : " (the current row was lost)");
    if (!moves.empty())
        std::printf("  moving the current row: median %.2f ms, slowest %.2f ms (target < 16 ms)\n",
                    moves[moves.size() / 2], moves.back());

    QLineEdit* filter = GridFilterEdit(form.ConnGrid);
    const double typing = BestOf(3, [&] {
        filter->setText(QStringLiteral("u"));
        QApplication::processEvents();
        form.ConnGrid->model()->rowCount();
        filter->clear();
    });
    QApplication::processEvents();
    int order = 0;
    const double sorting = BestOf(3, [&] {
        form.ConnGrid->sortByColumn(0, order++ % 2 == 0 ? Qt::DescendingOrder : Qt::AscendingOrder);
        QApplication::processEvents();
    });
    form.ConnGrid->selectAll();
    std::size_t copied = 0;
    const double copying = BestOf(3, [&] {
        CopyGridSelection(form.ConnGrid);
        copied = GridSelectionText(form.ConnGrid).size();
    });
    std::printf("  one letter typed into the filter: %8.1f ms, ratio to the refresh %.2f "
                "(target <= 0.50)\n",
                typing, typing / view);
    std::printf("  sorting by the column:            %8.1f ms, ratio to the refresh %.2f "
                "(target <= 1.00)\n",
                sorting, sorting / view);
    std::printf("  copying all %d rows (%zu chars): %8.1f ms, ratio to the refresh %.2f "
                "(target <= 1.00)\n",
                rows, copied, copying, copying / view);
}

void ErrorLogFind(const std::string& dir) {
    const std::string fixture = dir + "log64mb.json";
    std::ofstream(fixture) << R"({"administrator_password": "admin",
                                 "error_log": {"generate_bytes": 64000000,
                                               "lines": ["the first entry"]}})";
    TBenchServer server(fixture);
    if (!Connect(server))
        return;
    TErrorLogForm form;
    form.resize(900, 600);
    form.show();
    QApplication::processEvents();
    const double load = BestOf(2, [&] {
        form.RefreshView();
        QApplication::processEvents();
    });
    Disconnect();
    TLogView* log = form.LogMemo;
    // A text that is nowhere: the whole log is read for it.
    int round = 0;
    const double findNew = BestOf(3, [&] {
        log->SetFindText(QStringLiteral("not in the log %1").arg(round++));
        log->FindNext();
        QApplication::processEvents();
    });
    // The first entry, found from the end of the log: round the whole text.
    log->SetFindText(QStringLiteral("THE FIRST ENTRY"));
    const double findNext = BestOf(3, [&] {
        log->Select(log->toPlainText().size(), log->toPlainText().size());
        log->FindNext();
        QApplication::processEvents();
    });
    std::printf("error log view, a log of %.1f MB\n",
                static_cast<double>(log->toPlainText().size()) / 1e6);
    std::printf("  RefreshView:                          %8.1f ms\n", load);
    std::printf("  find a new text, every match counted: %8.1f ms, ratio %.3f (target < 0.20)\n",
                findNew, findNew / load);
    std::printf("  next match, from the end round to the start: %.2f ms, ratio %.4f\n", findNext,
                findNext / load);
}

void ErrorLogView(const std::string& dir) {
    const std::string fixture = dir + "log10mb.json";
    std::ofstream(fixture) << R"({"administrator_password": "admin",
                                 "error_log": {"generate_bytes": 10000000}})";
    TBenchServer server(fixture);
    if (!Connect(server))
        return;
    std::size_t bytes = 0;
    const double requests = BestOf(3, [&] {
        TServerText text;
        ReadWholeServerErrorLog(1, text);
        bytes = text.size();
    });
    TErrorLogForm form;
    form.resize(900, 600);
    form.show();
    QApplication::processEvents();
    const double view = BestOf(3, [&] {
        form.RefreshView();
        QApplication::processEvents();
    });
    Disconnect();
    std::printf("error log view, a log of %.1f MB\n", static_cast<double>(bytes) / 1e6);
    std::printf("  chunk requests alone:  %8.1f ms\n", requests);
    std::printf("  RefreshView:           %8.1f ms\n", view);
    std::printf("  ratio view/requests: %.2f (target <= 1.50)\n", view / requests);
}

} // namespace

int main(int argc, char** argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    const std::string dir =
        (std::filesystem::temp_directory_path() / "zephran-console-bench/").string();
    std::filesystem::create_directories(dir + "TEMP");
    SetProgramDirectory(dir);
    TStderrMessagePresenter presenter;
    SetMessagePresenter(&presenter);
    if (!CreateRequestDispatcher())
        return 1;

    LocalConnectionsView(ZEPHRAN_FIXTURES);
    ErrorLogView(dir);
    ErrorLogFind(dir);

    FreeRequestDispatcher();
    std::filesystem::remove_all(dir);
    return 0;
}
