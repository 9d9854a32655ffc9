#pragma once

// The console's message box, drawn with QMessageBox: the kind's caption and icon, the buttons
// in their fixed order with their own captions, Enter and Esc on the request's default and
// cancel buttons, and the text laid out left to right whatever its script.

#include "MessageDialogs.h"

#include <QString>
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
    // The text as the box shows it: "&&" folded, line breaks as new lines, every line forced
    // to read left to right.
    static QString BoxText(const std::string& text);
};
