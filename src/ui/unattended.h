// Unattended mode: how tests and scheduled runs drive the tool without a
// person in front of it.
//
//   VELUMTAR_TRANSCRIPT=<file>  no box is shown and no program is started;
//                               each box and each launch is appended to the
//                               file as one JSON object on one line.
//   VELUMTAR_ANSWERS=<letters>  answers for Yes/No boxes in order, Y or N;
//                               once used up a box takes its default button,
//                               unless the letters end in '*': then the last
//                               letter answers every further box ("Y*").
//
// The clock override, VELUMTAR_CLOCK, is the platform wrapper ClockOverride.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace velumtar {

class Unattended {
  public:
    explicit Unattended(Platform& platform);

    bool active() const { return transcript_.has_value(); }

    // The system's answer for a box of `type` in unattended mode: the next
    // answer letter for a Yes/No box, else the box's default button.
    BoxButton answerFor(BoxType type);
    void recordBox(std::string_view caption, char style, BoxType type, std::string_view text,
                   char answer);
    void recordLaunch(std::string_view commandLine, int show, bool wait);

  private:
    void append(const std::string& line);

    Platform& platform_;
    std::optional<std::string> transcript_;
    std::string answers_;
    std::size_t nextAnswer_ = 0;
    char repeated_ = '\0';  // the letter a final '*' repeats; NUL when none
};

// A file name from a variable, made absolute against the working directory
// of this moment (the start directory, when read at the start: the walk
// changes the working directory later). Enclosing double quotes are dropped;
// a name with a drive, or starting with a slash or backslash, is kept.
std::string absoluteName(Platform& platform, std::string name);

// `text` as a JSON string literal: quotes, backslashes and control characters
// escaped; bytes that are not part of valid UTF-8 written as \u00XX.
std::string jsonString(std::string_view text);

}  // namespace velumtar
