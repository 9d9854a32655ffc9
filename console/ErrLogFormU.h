#pragma once

// "Error Log": the server's error log as read-only text.

#include <QDialog>
#include <string>

class QPlainTextEdit;

class TErrorLogForm final : public QDialog {
    Q_OBJECT
public:
    explicit TErrorLogForm(QWidget* parent = nullptr);

    // Replaces the text with the server's whole log; after a failed chunk the text read so far
    // stays.
    bool RefreshView();

    // The log as last loaded, every line ending in CR LF (the server's bytes).
    const std::string& LogText() const { return text_; }

    QPlainTextEdit* LogMemo;

protected:
    void showEvent(QShowEvent* event) override;

private:
    std::string text_;
};
