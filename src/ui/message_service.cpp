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

BoxType MessageService::boxType(BoxStyle style) {
    using Buttons = BoxType::Buttons;
    using Icon = BoxType::Icon;
    switch (style) {
        case BoxStyle::information:
            return {Buttons::ok, Icon::information};
        case BoxStyle::error:
            return {Buttons::ok, Icon::error};
        case BoxStyle::retryCancel:
            return {Buttons::retryCancel, Icon::information};
        case BoxStyle::retryCancelError:
            return {Buttons::retryCancel, Icon::error, 1};  // Cancel is the default
        case BoxStyle::question:
            return {Buttons::yesNo, Icon::information, 1};  // No is the default
        case BoxStyle::questionError:
            return {Buttons::yesNo, Icon::error};
    }
    return {};
}

Answer MessageService::answerFor(BoxButton button) {
    switch (button) {
        case BoxButton::retry:
            return Answer::retry;
        case BoxButton::cancel:
            return Answer::cancel;
        case BoxButton::yes:
            return Answer::yes;
        case BoxButton::no:
            return Answer::no;
        default:  // OK, no box could be shown, or an unexpected button
            return Answer::ok;
    }
}

Answer MessageService::showMessage(BoxStyle style) {
    const BoxType type = boxType(style);
    Answer answer;
    if (unattended_.active()) {
        answer = answerFor(unattended_.answerFor(type));
        unattended_.recordBox(caption(), styleCode(style), type, text(), answerCode(answer));
    } else {
        answer = answerFor(platform_.messageBox(text(), caption(), type));
    }
    if (observer_ != nullptr && type.icon == BoxType::Icon::error)
        observer_->errorShown(text());
    return answer;
}

Answer MessageService::show(std::string_view text, BoxStyle style) {
    setText(text);
    return showMessage(style);
}

}  // namespace velumtar
