#pragma once

// "Error Log": the server's error log as read-only text.

#include "AutoRefresh.h"
#include "ViewSupport.h"
#include <QAbstractScrollArea>

#include <QDialog>
#include <string>
#include <vector>

class QLabel;

// A read-only text area for a log of any size: it keeps the text and where each line starts,
// and draws only the lines in view, so a log of many megabytes shows at once. Whole lines are
// selected with the mouse or the keyboard and copied with Ctrl+C.
class TLogView final : public QAbstractScrollArea {
public:
    explicit TLogView(QWidget* parent = nullptr);

    // Lines are separated by line feeds.
    void SetPlainText(QString text);
    void Clear() { SetPlainText(QString()); }
    const QString& toPlainText() const { return text_; }
    int LineCount() const { return static_cast<int>(starts_.size()); }
    QString Line(int index) const;
    // The selected lines, first and last (both -1 when none).
    std::pair<int, int> Selection() const;
    void SelectAll();
    void Copy() const;

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void UpdateScrollBars();
    int LineAt(int y) const;
    int LineHeight() const;
    void MoveCursor(int line, bool extend);

    QString text_;
    std::vector<int> starts_;
    int widestLine_ = 0; // in characters
    int anchor_ = -1;
    int cursor_ = -1;
};

class TErrorLogForm final : public TCenteredDialog {
    Q_OBJECT
public:
    explicit TErrorLogForm(QWidget* parent = nullptr);

    // Replaces the text with the server's whole log; after a failed chunk the text read so far
    // stays.
    bool RefreshView();

    // The log as last loaded, every line ending in CR LF (the server's bytes).
    const std::string& LogText() const { return text_; }

    TLogView* LogMemo;
    TAutoRefresh* AutoRefresh;
    QLabel* StatusLine;

private:
    // The load behind both refreshes; an automatic one keeps the scroll position, and a log
    // scrolled to its end stays at its end as it grows.
    bool Load(bool keepPlace);

    std::string text_;
};
