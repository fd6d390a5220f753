#include "ui/message_service.h"

#include <cstring>

#include "platform/platform.h"
#include "ui/unattended.h"
#include "util/text_field.h"

namespace velumtar {

MessageService::MessageService(Platform& platform, Unattended& unattended,
                               std::string_view programName)
    : platform_(platform), unattended_(unattended) {
    // The caption: the program name (8 characters), seven blanks and a NUL;
    // the rest of the buffer blanks.
    captionBuffer_.fill(' ');
    std::size_t n = programName.size() < 8 ? programName.size() : 8;
    std::memcpy(captionBuffer_.data(), programName.data(), n);
    captionBuffer_[15] = '\0';
    textBuffer_.fill(' ');
    textBuffer_[0] = '\0';
    textBuffer_[kTextWidth] = '\0';
}

void MessageService::setText(std::string_view text) {
    textBuffer_.fill(' ');
    std::size_t n = fittingLength(text, kTextWidth);
    std::memcpy(textBuffer_.data(), text.data(), n);
    if (n < kTextWidth)
        textBuffer_[n] = '\0';
    textBuffer_[kTextWidth] = '\0';
}

std::string_view MessageService::text() const {
    return std::string_view(textBuffer_.data());
}

std::string_view MessageService::caption() const {
    return std::string_view(captionBuffer_.data());
}

char styleCode(BoxStyle style) {
    return static_cast<char>('0' + static_cast<int>(style));
}

char answerCode(Answer answer) {
    return static_cast<char>('0' + static_cast<int>(answer));
}

unsigned MessageService::boxType(BoxStyle style) {
    switch (style) {
        case BoxStyle::information:
            return 0x40;  // OK; information
        case BoxStyle::error:
            return 0x10;  // OK; error
        case BoxStyle::retryCancel:
            return 0x45;  // Retry, Cancel; information
        case BoxStyle::retryCancelError:
            return 0x115;  // Retry, Cancel; error; Cancel is the default
        case BoxStyle::question:
            return 0x144;  // Yes, No; information; No is the default
        case BoxStyle::questionError:
            return 0x14;  // Yes, No; error
    }
    return 0;  // OK; no icon
}

Answer MessageService::answerFor(int result) {
    switch (result) {
        case 1:  // IDOK
            return Answer::ok;
        case 4:  // IDRETRY
            return Answer::retry;
        case 2:  // IDCANCEL
            return Answer::cancel;
        case 6:  // IDYES
            return Answer::yes;
        case 7:  // IDNO
            return Answer::no;
        default:  // no box could be shown, or an unexpected button
            return Answer::ok;
    }
}

Answer MessageService::showMessage(BoxStyle style) {
    unsigned type = boxType(style);
    Answer answer;
    if (unattended_.active()) {
        answer = answerFor(unattended_.answerFor(type));
        unattended_.recordBox(caption(), styleCode(style), type, text(), answerCode(answer));
    } else {
        answer = answerFor(platform_.messageBox(text(), caption(), type));
    }
    constexpr unsigned kIconError = 0x10;
    if (observer_ != nullptr && (type & 0xF0) == kIconError)
        observer_->errorShown(text());
    return answer;
}

Answer MessageService::show(std::string_view text, BoxStyle style) {
    setText(text);
    return showMessage(style);
}

}  // namespace velumtar
