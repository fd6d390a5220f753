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

unsigned MessageService::boxType(char style) {
    switch (style) {
        case '0':
            return 0x40;  // OK; information
        case '1':
            return 0x10;  // OK; error
        case '2':
            return 0x45;  // Retry, Cancel; information
        case '3':
            return 0x115;  // Retry, Cancel; error; Cancel is the default
        case '4':
            return 0x144;  // Yes, No; information; No is the default
        case '5':
            return 0x14;  // Yes, No; error
        default:
            return 0;  // OK; no icon
    }
}

char MessageService::answerFor(int result) {
    switch (result) {
        case 1:  // IDOK
            return '0';
        case 4:  // IDRETRY
            return '1';
        case 2:  // IDCANCEL
            return '2';
        case 6:  // IDYES
            return '3';
        case 7:  // IDNO
            return '4';
        default:  // no box could be shown, or an unexpected button
            return '0';
    }
}

void MessageService::showMessage() {
    unsigned type = boxType(styleCode);
    if (unattended_.active()) {
        answerCode = answerFor(unattended_.answerFor(type));
        unattended_.recordBox(caption(), styleCode, type, text(), answerCode);
        return;
    }
    answerCode = answerFor(platform_.messageBox(text(), caption(), type));
}

char MessageService::show(std::string_view text, char style) {
    setText(text);
    styleCode = style;
    showMessage();
    return answerCode;
}

}  // namespace velumtar
