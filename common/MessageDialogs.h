#pragma once

// The one modal message box through which every message reaches the user. Callers pass a
// text, a kind and a set of buttons and get back the button that was pressed; the box itself
// is drawn by whatever presenter the program installed (the console's window box, the
// command-line tool's standard error, or a test's recorder).

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

enum class TMsgDlgType { mtError, mtInformation, mtConfirmation, mtCustom };

enum class TMsgDlgBtn : std::uint8_t { mbYes = 0, mbNo = 1, mbOK = 2, mbCancel = 3 };

// A set of buttons, as a small bit set.
class TMsgDlgButtons final {
public:
    constexpr TMsgDlgButtons() = default;
    constexpr TMsgDlgButtons(std::initializer_list<TMsgDlgBtn> buttons) {
        for (TMsgDlgBtn b : buttons)
            bits_ |= Bit(b);
    }
    constexpr bool Contains(TMsgDlgBtn b) const { return (bits_ & Bit(b)) != 0; }
    constexpr bool Empty() const { return bits_ == 0; }
    constexpr bool operator==(const TMsgDlgButtons&) const = default;

private:
    static constexpr std::uint8_t Bit(TMsgDlgBtn b) {
        return static_cast<std::uint8_t>(1u << static_cast<unsigned>(b));
    }
    std::uint8_t bits_ = 0;
};

// Everything a presenter needs to draw one box; computed once, here, so that every presenter
// shows the same captions and honours the same default and cancel buttons.
struct TMessageRequest {
    std::string Text; // UTF-8, as the caller gave it
    TMsgDlgType Kind = TMsgDlgType::mtError;
    TMsgDlgButtons Buttons;
    std::string Caption;                         // the box's title
    std::vector<TMsgDlgBtn> Order;               // the buttons of the set, left to right
    TMsgDlgBtn DefaultButton = TMsgDlgBtn::mbOK; // Enter
    TMsgDlgBtn CancelButton = TMsgDlgBtn::mbOK;  // Esc and the close button
};

class IMessagePresenter {
public:
    virtual ~IMessagePresenter() = default;
    // Shows the box modally and returns the button pressed. Closing the box without a
    // button gives the request's CancelButton.
    virtual TMsgDlgBtn Present(const TMessageRequest& request) = 0;
};

// Installs the presenter used from now on (not owned) and returns the previous one. With
// none installed, messages go to standard error and are answered with the default button.
IMessagePresenter* SetMessagePresenter(IMessagePresenter* presenter);
IMessagePresenter* CurrentMessagePresenter();

// The full form: modal, returns the pressed button.
TMsgDlgBtn ShowMessageDialog(const std::string& text, TMsgDlgType kind, TMsgDlgButtons buttons);

// The short form for error reports: kind error, the one button "OK".
void ShowMessageBox(const std::string& text);

// Captions of kinds and buttons, and the rules for the default and cancel buttons.
std::string KindCaption(TMsgDlgType kind);
std::string ButtonCaption(TMsgDlgBtn button);
std::vector<TMsgDlgBtn> ButtonOrder(TMsgDlgButtons buttons);
TMsgDlgBtn DefaultButtonOf(TMsgDlgButtons buttons);
TMsgDlgBtn CancelButtonOf(TMsgDlgButtons buttons);
TMessageRequest MakeMessageRequest(const std::string& text, TMsgDlgType kind,
                                   TMsgDlgButtons buttons);

// The application title used as the caption of custom boxes: the program file's name up to
// its first dot, in lower case after its first letter ("ZEPHRAN-CONSOLE.EXE" gives
// "Zephran-console"). The name is taken from the running executable unless set here.
void SetApplicationFileName(const std::string& fileName);
std::string ApplicationFileName();
std::string ApplicationTitle();

// The text as a box shows it: a doubled "&&" becomes one "&", and CR LF or a lone CR
// becomes a line feed.
std::string DisplayedMessageText(const std::string& text);
