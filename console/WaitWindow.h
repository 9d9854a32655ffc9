#pragma once

// The small window that a long wait for a peer shows: "Please Wait", one line of text and the
// one button "Cancel", which Esc, Enter and the window's close button press as well.

#include <QDialog>

class QLabel;
class QPushButton;

class TWaitWindow final : public QDialog {
    Q_OBJECT
public:
    explicit TWaitWindow(QWidget* parent = nullptr);

    QLabel* TextLB;
    QPushButton* CancelBtn;
};
