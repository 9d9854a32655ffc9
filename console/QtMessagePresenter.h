#pragma once

// The console's message box, drawn with QMessageBox: the kind's caption and icon, the buttons
// in their fixed order with their own captions, Enter and Esc on the request's default and
// cancel buttons. The box stands left to right (icon on the left, buttons in their order);
// each line of its text is a paragraph of its own, laid out in the direction of its first
// strong letter, so that a Farsi line reads right to left and an English line left to right.

#include "MessageDialogs.h"

#include <QString>
#include <QStringList>
#include <memory>

class QAbstractButton;
class QMessageBox;

class TQtMessagePresenter final : public IMessagePresenter {
public:
    TMsgDlgBtn Present(const TMessageRequest& request) override;

    // The box of a request, ready to be shown; each button carries its TMsgDlgBtn in the
    // "zephranButton" property.
    static std::unique_ptr<QMessageBox> BuildBox(const TMessageRequest& request);
    // The button of the box that a pressed Qt button stands for.
    static TMsgDlgBtn ButtonOf(const QAbstractButton* button, TMsgDlgBtn otherwise);
    // The lines of the text as the box shows them: "&&" folded, a line break (CR LF, CR or
    // LF) ends a line. The characters are the text's own; nothing is added.
    static QStringList BoxLines(const std::string& text);
    // Those lines as the box's rich text: one paragraph per line, its direction set by its
    // first strong letter (right to left for Arabic-script letters), every character of the
    // line escaped and every blank kept.
    static QString BoxText(const std::string& text);
    // What Ctrl+C in a box puts on the clipboard where the platform copies whole boxes
    // (Windows): the caption, the lines of the text and the button captions between separator
    // lines, as the platform writes them, but with the lines themselves rather than the
    // markup the box is drawn from.
    static QString BoxCopyText(const QMessageBox& box, const std::string& text);
};
