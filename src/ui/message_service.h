// MessageService: every word the user reads and every answer the user gives
// passes through one standard message box with a fixed caption, the text the
// caller composed and a box type chosen by its style.
#pragma once

#include <array>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace velumtar {

class Unattended;

// The kinds of box: which buttons it offers and which icon it shows.
enum class BoxStyle {
    information,       // OK
    error,             // OK
    retryCancel,       // Retry, Cancel
    retryCancelError,  // Retry, Cancel; Cancel is the default
    question,          // Yes, No; No is the default
    questionError,     // Yes, No
};

// The button the user pressed; OK also when no box could be shown.
enum class Answer { ok, retry, cancel, yes, no };

// The one-character codes of a style ('0' to '5') and an answer ('0' OK,
// '1' Retry, '2' Cancel, '3' Yes, '4' No), as the transcript records them.
char styleCode(BoxStyle style);
char answerCode(Answer answer);

// Told of every box the service shows with the error icon.
class ErrorObserver {
  public:
    virtual ~ErrorObserver() = default;
    virtual void errorShown(std::string_view text) = 0;
};

class MessageService {
  public:
    static constexpr std::size_t kTextWidth = 805;
    static constexpr std::size_t kCaptionWidth = 256;

    // `programName`: the first eight characters of the program title.
    MessageService(Platform& platform, Unattended& unattended, std::string_view programName);

    // Moves a composed text into the text buffer: the text, its NUL, then
    // blanks to the full width. A longer text is cut at the buffer's width.
    void setText(std::string_view text);
    // The text as handed to the system: every byte up to its NUL.
    std::string_view text() const;
    std::string_view caption() const;

    // Shows the text set last in a box of `style` and waits for the answer.
    Answer showMessage(BoxStyle style);
    // Shorthand: setText, then showMessage.
    Answer show(std::string_view text, BoxStyle style);

    // From now on `observer` (none: nobody) is told of each error box, after
    // it was shown.
    void observeErrors(ErrorObserver* observer) { observer_ = observer; }

    static BoxType boxType(BoxStyle style);
    static Answer answerFor(BoxButton button);

  private:
    Platform& platform_;
    Unattended& unattended_;
    ErrorObserver* observer_ = nullptr;
    std::array<char, kCaptionWidth> captionBuffer_;
    std::array<char, kTextWidth + 1> textBuffer_;
};

}  // namespace velumtar
