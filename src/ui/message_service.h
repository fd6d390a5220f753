// MessageService: every word the user reads and every answer the user gives
// passes through one standard message box with a fixed caption, the text the
// caller composed and a box type chosen by a one-character style code.
#pragma once

#include <array>
#include <string>
#include <string_view>

namespace velumtar {

class Platform;
class Unattended;

class MessageService {
  public:
    static constexpr std::size_t kTextWidth = 805;
    static constexpr std::size_t kCaptionWidth = 256;

    // `programName`: the first eight characters of the program title.
    MessageService(Platform& platform, Unattended& unattended, std::string_view programName);

    // Set by the caller before showMessage(): '0' to '5'.
    char styleCode = '0';
    // Set by showMessage(): '0' OK (or no box), '1' Retry, '2' Cancel,
    // '3' Yes, '4' No.
    char answerCode = '0';

    // Moves a composed text into the text buffer: the text, its NUL, then
    // blanks to the full width. A longer text is cut at the buffer's width.
    void setText(std::string_view text);
    // The text as handed to the system: every byte up to its NUL.
    std::string_view text() const;
    std::string_view caption() const;

    // Shows the box and waits for the answer.
    void showMessage();
    // Shorthand: setText, styleCode, showMessage; returns answerCode.
    char show(std::string_view text, char style);

    static unsigned boxType(char style);
    static char answerFor(int systemResult);

  private:
    Platform& platform_;
    Unattended& unattended_;
    std::array<char, kCaptionWidth> captionBuffer_;
    std::array<char, kTextWidth + 1> textBuffer_;
};

}  // namespace velumtar
