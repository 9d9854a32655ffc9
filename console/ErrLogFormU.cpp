#include "ErrLogFormU.h"

#include "ViewRules.h"
#include "ViewSupport.h"

#include <QFontDatabase>
#include <QPlainTextEdit>
#include <QVBoxLayout>

TErrorLogForm::TErrorLogForm(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("ErrorLogForm"));
    setWindowTitle(QStringLiteral("Error Log"));
    resize(760, 460);

    LogMemo = new QPlainTextEdit;
    LogMemo->setObjectName(QStringLiteral("LogMemo"));
    LogMemo->setReadOnly(true);
    LogMemo->setLineWrapMode(QPlainTextEdit::NoWrap);
    LogMemo->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    LogMemo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    fixed.setStyleHint(QFont::TypeWriter);
    fixed.setFixedPitch(true);
    LogMemo->setFont(fixed);
    LogMemo->setUndoRedoEnabled(false);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(LogMemo);
}

bool TErrorLogForm::RefreshView() {
    LogMemo->clear();
    const bool complete = ReadWholeServerErrorLog(1, text_) == kExchangeDone;
    // One paragraph per line: the memo takes the text with plain line feeds.
    QString shown = ServerText(text_);
    shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    if (shown.endsWith(QLatin1Char('\n')))
        shown.chop(1);
    LogMemo->setPlainText(shown);
    return complete;
}

void TErrorLogForm::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    CenterOnScreen(this);
}
