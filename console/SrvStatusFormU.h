#pragma once

// "Server Status": the server's request, database, client and result counters in four framed
// groups of caption and value lines. The groups lie in a scroll area: the window opens at the
// size the groups take and can be resized; on a screen too small for it, it opens as large as
// the screen allows and the groups scroll.

#include <QDialog>
#include <vector>

class QAction;
class QLabel;
class QRect;
class QScrollArea;

class TServerStatusForm final : public QDialog {
    Q_OBJECT
public:
    explicit TServerStatusForm(QWidget* parent = nullptr);

    // Rewrites every value from server 1; a failed request leaves them as they were.
    bool RefreshView();
    void RefreshActExecute() { RefreshView(); }

    // Makes the window fit into `available` (a screen's work area, frame included), keeping
    // its size where it fits; showing the window does it for the screen it is on.
    void FitInto(const QRect& available);

    QAction* RefreshAct;
    // The scroll area over the four groups.
    QScrollArea* GroupsArea;
    // The caption and value labels, in the window's order.
    std::vector<QLabel*> CaptionLabels;
    std::vector<QLabel*> ValueLabels;

protected:
    void showEvent(QShowEvent* event) override;
};
