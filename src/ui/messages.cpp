#include "ui/messages.h"

#include <algorithm>

#include "util/text_field.h"

namespace velumtar::messages {

namespace {

std::string lines(std::initializer_list<std::string_view> parts) {
    std::string out;
    bool first = true;
    for (std::string_view part : parts) {
        if (!first)
            out += crlf;
        out += part;
        first = false;
    }
    return out;
}

}  // namespace

std::string alreadyRunning() {
    return "The program already runs. You can't start it a 2nd or more times.";
}

std::string enterDirectoryError(std::string_view path) {
    return lines({"ERROR: Enter into directory:", padded(path, kPathField),
                  "Please read the help for more information"});
}

std::string unsuitableCommand(std::string_view letter) {
    std::string shown = letter.empty() || letter == " " ? std::string("_") : std::string(letter);
    return lines({"This is a command-line-tool, but",
                  "the actual command '" + shown + "' is not a suitable command",
                  "Please confirm."});
}

std::string programInformation(std::string_view programTitle) {
    return lines({"Programinformation:", padded(programTitle, 52),
                  "Comparing EXE- and DLL-Files at C:\\ between different times",
                  "Made and maintained by the VELUMTAR developers.",
                  "Questions and reports: the VELUMTAR project's issue tracker."});
}

std::string openHelpQuestion() {
    return "Would you like to open the help?";
}

std::string noLogFile() {
    return "No Log-File found.";
}

std::string interruptionDetected(std::string_view text) {
    return lines({"Detect an interruption of an earlier action!", padded(text, 115)});
}

std::string newBuildFinished() {
    return lines({"Finish NEW building of the basic database.", "Please confirm"});
}

std::string noDifferences() {
    return lines({padded("No differences detected", 42), "Please confirm"});
}

std::string detailsQuestion(const std::array<std::string, 5>& summaryLines) {
    std::string out;
    for (const std::string& line : summaryLines) {
        out += padded(line, 54);
        out += crlf;
    }
    out += "Display list of details?";
    return out;
}

std::string listingError(std::string_view pattern) {
    return lines({"ERROR: Reading files / subdirectories on disk:", padded(pattern, kPathField)});
}

std::string ignoreLockedQuestion(std::string_view path) {
    return lines({"Ignore locked directory (continue work)?", padded(path, kPathField)});
}

std::string fileFactsError(std::string_view path) {
    return lines({"ERROR: Can't get date, time and size of:", padded(path, kPathField)});
}

std::string fileError(std::string_view operation, std::string_view fileName) {
    // A name longer than the field (a file the user named) is shown whole.
    return lines({"ERROR: File handling.",
                  padded(operation, 7) + " " +
                      padded(fileName, std::max<std::size_t>(16, fileName.size()))});
}

}  // namespace velumtar::messages
