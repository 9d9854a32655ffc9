#pragma once

// "Server Status": the server's request, database, client and result counters in four framed
// groups of caption and value lines.

#include <QDialog>
#include <vector>

class QAction;
class QLabel;

class TServerStatusForm final : public QDialog {
    Q_OBJECT
public:
    explicit TServerStatusForm(QWidget* parent = nullptr);

    // Rewrites every value from server 1; a failed request leaves them as they were.
    bool RefreshView();
    void RefreshActExecute() { RefreshView(); }

    QAction* RefreshAct;
    // The caption and value labels, in the window's order.
    std::vector<QLabel*> CaptionLabels;
    std::vector<QLabel*> ValueLabels;

protected:
    void showEvent(QShowEvent* event) override;
};
