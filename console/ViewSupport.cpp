#include "ViewSupport.h"

#include "MessageDialogs.h"
#include "Win1256.h"

#include <QAbstractProxyModel>
#include <QAction>
#include <QApplication>
#include <QFormLayout>
#include <QGuiApplication>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLineEdit>
#include <QSaveFile>
#include <QScreen>
#include <QTableView>
#include <QToolBar>
#include <QWidget>
#include <cmath>
#include <cstdio>

QString ServerText(const TServerText& serverText) {
    const std::string& bytes = serverText.Bytes;
    // Every character of the code page lies in the basic plane: one QChar per byte.
    QString text(static_cast<qsizetype>(bytes.size()), Qt::Uninitialized);
    QChar* out = text.data();
    for (char c : bytes)
        *out++ = QChar(static_cast<char16_t>(Win1256ToUnicode(static_cast<std::uint8_t>(c))));
    return text;
}

QString ServerLines(const TServerText& serverText) {
    const std::string& bytes = serverText.Bytes;
    QString text(static_cast<qsizetype>(bytes.size()), Qt::Uninitialized);
    QChar* out = text.data();
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] == '\r') {
            // Carriage returns before a line feed end the line with it.
            std::size_t next = i;
            while (next < bytes.size() && bytes[next] == '\r')
                ++next;
            if (next < bytes.size() && bytes[next] == '\n') {
                i = next - 1;
                continue;
            }
        }
        *out++ =
            QChar(static_cast<char16_t>(Win1256ToUnicode(static_cast<std::uint8_t>(bytes[i]))));
    }
    text.truncate(out - text.constData());
    return text;
}

QString Utf8Text(const std::string& utf8) {
    return QString::fromStdString(utf8);
}

QIcon ThemeIcon(const char* themeName, QStyle::StandardPixmap fallback) {
    return QIcon::fromTheme(QString::fromLatin1(themeName),
                            QApplication::style()->standardIcon(fallback));
}

QToolBar* MakeIconToolBar(QWidget* parent) {
    auto* bar = new QToolBar(parent);
    bar->setToolButtonStyle(Qt::ToolButtonIconOnly);
    bar->setMovable(false);
    bar->setIconSize(QSize(24, 24));
    return bar;
}

QAction* AddIconAction(QToolBar* bar, const char* objectName, const char* toolTip,
                       const char* themeName, QStyle::StandardPixmap fallback) {
    QAction* action = bar->addAction(ThemeIcon(themeName, fallback), QString());
    action->setObjectName(QString::fromLatin1(objectName));
    action->setToolTip(QString::fromLatin1(toolTip));
    return action;
}

void CenterOnScreen(QWidget* window) {
    QScreen* screen = window->screen();
    if (screen == nullptr)
        screen = QGuiApplication::primaryScreen();
    if (screen == nullptr)
        return;
    QRect frame = window->frameGeometry();
    frame.moveCenter(screen->availableGeometry().center());
    window->move(frame.topLeft());
}

void TCenteredDialog::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    // A window given back its remembered place stays there.
    if (!property("zephranPlaced").toBool())
        CenterOnScreen(this);
}

int ScreenPixels(const QWidget* widget, int pixelsAt96) {
    const QScreen* screen = widget != nullptr ? widget->screen() : nullptr;
    if (screen == nullptr)
        screen = QGuiApplication::primaryScreen();
    const double dpi = screen != nullptr ? screen->logicalDotsPerInchY() : 96.0;
    if (dpi <= 96.0)
        return pixelsAt96;
    return static_cast<int>(std::lround(pixelsAt96 * dpi / 96.0));
}

std::string InvalidDateTimeText(const TServerDateTime& v) {
    char text[96];
    std::snprintf(text, sizeof text, "'%04d/%02d/%02d %02d:%02d:%02d' is not a valid date and time",
                  v[0] + 1900, v[1] + 1, v[2], v[3], v[4], v[5]);
    return text;
}

std::optional<TDateTime> ViewDateTime(const TServerDateTime& value) {
    std::optional<TDateTime> decoded = DecodeServerDateTime(value);
    if (!decoded)
        ShowMessageBox(InvalidDateTimeText(value));
    return decoded;
}

QLineEdit* AddDetail(QFormLayout* form, const char* caption, const char* name) {
    auto* edit = new QLineEdit;
    edit->setObjectName(QString::fromLatin1(name));
    edit->setReadOnly(true);
    form->addRow(QString::fromLatin1(caption), edit);
    return edit;
}

QTableView* MakeGrid(const char* name, QAbstractItemModel* model) {
    auto* grid = new QTableView;
    grid->setObjectName(QString::fromLatin1(name));
    grid->setModel(model);
    grid->setSelectionBehavior(QAbstractItemView::SelectRows);
    grid->setSelectionMode(QAbstractItemView::SingleSelection);
    grid->setEditTriggers(QAbstractItemView::NoEditTriggers);
    // Tab goes on to the next control, as in the rest of the window.
    grid->setTabKeyNavigation(false);
    grid->verticalHeader()->hide();
    grid->verticalHeader()->setDefaultSectionSize(grid->fontMetrics().height() + 6);
    return grid;
}

int ShownGridRow(const QTableView* grid) {
    const QModelIndex current = grid->selectionModel()->currentIndex();
    return current.isValid() ? current.row() : -1;
}

int CurrentGridRow(const QTableView* grid) {
    const QModelIndex current = grid->selectionModel()->currentIndex();
    if (!current.isValid())
        return -1;
    const auto* proxy = qobject_cast<const QAbstractProxyModel*>(grid->model());
    return proxy != nullptr ? proxy->mapToSource(current).row() : current.row();
}

void SetCurrentGridRow(QTableView* grid, int row) {
    QItemSelectionModel* selection = grid->selectionModel();
    if (row >= 0 && row < grid->model()->rowCount())
        selection->setCurrentIndex(grid->model()->index(row, 0),
                                   QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    else
        selection->clearCurrentIndex();
}

std::optional<QString> WriteWholeFile(const QString& path, const QByteArray& bytes) {
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.commit())
        return std::nullopt;
    return file.errorString();
}

bool WriteWholeFileOrSay(const QString& path, const QByteArray& bytes) {
    const std::optional<QString> failure = WriteWholeFile(path, bytes);
    if (failure)
        ShowMessageBox("Cannot write the file " + path.toStdString() + ": " +
                       failure->toStdString());
    return !failure;
}

bool ConfirmDeletion(const char* question) {
    return ShowMessageDialog(question, TMsgDlgType::mtConfirmation,
                             {TMsgDlgBtn::mbYes, TMsgDlgBtn::mbNo, TMsgDlgBtn::mbCancel}) ==
           TMsgDlgBtn::mbYes;
}
