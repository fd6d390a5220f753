#include "ui/unattended.h"

#include <cstdio>

#include "util/json_text.h"
#include "util/text_field.h"

namespace velumtar {

namespace {}  // namespace

std::string jsonString(std::string_view text) {
    return jsonText(text, InvalidByte::asCodePoint);
}

std::string absoluteName(Platform& platform, std::string name) {
    if (name.size() >= 2 && name.front() == '"' && name.back() == '"')
        name = name.substr(1, name.size() - 2);
    const bool absolute = (!name.empty() && (name[0] == '/' || name[0] == '\\')) ||
                          (name.size() >= 2 && name[1] == ':');
    std::string directory;
    if (absolute || !platform.currentDirectory(directory))
        return name;
    return directory + "\\" + name;
}

Unattended::Unattended(Platform& platform) : platform_(platform) {
    transcript_ = platform.environment("VELUMTAR_TRANSCRIPT");
    if (transcript_ && transcript_->empty())
        transcript_.reset();
    // Boxes shown during the walk must not land in the directory it is in.
    if (transcript_)
        transcript_ = absoluteName(platform, *transcript_);
    answers_ = platform.environment("VELUMTAR_ANSWERS").value_or("");
    // A final '*' repeats the last answer letter for every further question,
    // so that a scheduled run can say Yes to however many locked directories
    // it meets.
    if (!answers_.empty() && answers_.back() == '*') {
        answers_.pop_back();
        std::size_t last = answers_.find_last_of("YyNn");
        if (last != std::string::npos)
            repeated_ = answers_[last];
    }
}

BoxButton Unattended::answerFor(BoxType type) {
    const bool second = type.defaultButton == 1;
    switch (type.buttons) {
        case BoxType::Buttons::yesNo:
        case BoxType::Buttons::yesNoCancel:
            while (nextAnswer_ < answers_.size()) {
                char a = answers_[nextAnswer_++];
                if (a == 'Y' || a == 'y')
                    return BoxButton::yes;
                if (a == 'N' || a == 'n')
                    return BoxButton::no;
            }
            if (repeated_ != '\0')
                return repeated_ == 'Y' || repeated_ == 'y' ? BoxButton::yes : BoxButton::no;
            return second ? BoxButton::no : BoxButton::yes;
        case BoxType::Buttons::retryCancel:
            return second ? BoxButton::cancel : BoxButton::retry;
        case BoxType::Buttons::okCancel:
            return second ? BoxButton::cancel : BoxButton::ok;
        default:
            return BoxButton::ok;
    }
}

void Unattended::append(const std::string& line) {
    PlatformStatus status;
    std::unique_ptr<File> file = platform_.openFile(*transcript_, OpenMode::append, status);
    if (!file)
        return;
    std::uint64_t size = 0;
    if (file->size(size) != PlatformStatus::ok)
        return;
    // The transcript is a record for the one who reads it; a line it cannot
    // take changes nothing in the run.
    (void)file->write(size, line.data(), line.size());
}

void Unattended::recordBox(std::string_view caption, char style, BoxType type,
                           std::string_view text, char answer) {
    std::string line = "{\"caption\": " + jsonString(caption) +
                       ", \"style\": " + jsonString(std::string(1, style)) +
                       ", \"type\": " + std::to_string(type.flags()) +
                       ", \"text\": " + jsonString(text) +
                       ", \"answer\": " + jsonString(std::string(1, answer)) + "}\n";
    append(line);
}

void Unattended::recordLaunch(std::string_view commandLine, int show, bool wait) {
    std::string line = "{\"launch\": " + jsonString(commandLine) +
                       ", \"show\": " + std::to_string(show) +
                       ", \"wait\": " + (wait ? "true" : "false") + "}\n";
    append(line);
}

}  // namespace velumtar
