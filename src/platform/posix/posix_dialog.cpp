// Message boxes on POSIX: a dialog on the controlling terminal.
//
// The caption, the icon as a word, the text and the buttons are written to
// /dev/tty, and one line is read back: Enter chooses the default button, a
// button's letter chooses that button (case does not matter). Without a
// terminal no box can be shown: the answer is none.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/posix/posix_internal.h"

namespace velumtar::posix {
namespace {

struct Button {
    const char* label;  // with the choosing letter in brackets
    char key;
    BoxButton id;
};

constexpr Button okButton{"[O]K", 'o', BoxButton::ok};
constexpr Button cancelButton{"[C]ancel", 'c', BoxButton::cancel};
constexpr Button abortButton{"[A]bort", 'a', BoxButton::abort};
constexpr Button retryButton{"[R]etry", 'r', BoxButton::retry};
constexpr Button ignoreButton{"[I]gnore", 'i', BoxButton::ignore};
constexpr Button yesButton{"[Y]es", 'y', BoxButton::yes};
constexpr Button noButton{"[N]o", 'n', BoxButton::no};

struct ButtonSet {
    Button buttons[3];
    int count;
};

ButtonSet buttonsFor(BoxType::Buttons buttons) {
    switch (buttons) {
        case BoxType::Buttons::okCancel:
            return {{okButton, cancelButton}, 2};
        case BoxType::Buttons::abortRetryIgnore:
            return {{abortButton, retryButton, ignoreButton}, 3};
        case BoxType::Buttons::yesNoCancel:
            return {{yesButton, noButton, cancelButton}, 3};
        case BoxType::Buttons::yesNo:
            return {{yesButton, noButton}, 2};
        case BoxType::Buttons::retryCancel:
            return {{retryButton, cancelButton}, 2};
        case BoxType::Buttons::ok:
            break;
    }
    return {{okButton}, 1};
}

const char* iconWord(BoxType::Icon icon) {
    switch (icon) {
        case BoxType::Icon::error:
            return "Error";
        case BoxType::Icon::question:
            return "Question";
        case BoxType::Icon::warning:
            return "Warning";
        case BoxType::Icon::information:
            return "Information";
        case BoxType::Icon::none:
            break;
    }
    return nullptr;
}

// Text for the terminal: CR LF and lone CR become new lines, blanks at the
// end of a line are dropped (fixed-width fields would wrap into empty lines),
// and other control characters are shown as '?' so that a name cannot steer
// the terminal.
std::string terminalText(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '\r' || c == '\n') {
            while (!out.empty() && out.back() == ' ') {
                out.pop_back();
            }
            out += '\n';
            if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
                ++i;
            }
        } else if (c == '\0') {
            break;
        } else if ((static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7f) {
            out += '?';
        } else {
            out += c;
        }
    }
    while (!out.empty() && (out.back() == ' ' || out.back() == '\n')) {
        out.pop_back();
    }
    return out;
}

bool writeAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Reads one line; false at the end of input or on an error.
bool readLine(int fd, std::string& line) {
    line.clear();
    char c;
    for (;;) {
        ssize_t n = ::read(fd, &c, 1);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return !line.empty();
        }
        if (c == '\n' || c == '\r') {
            return true;
        }
        line += c;
    }
}

}  // namespace

BoxButton terminalMessageBox(std::string_view text, std::string_view caption, BoxType type) {
    const Descriptor tty(::open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY));
    const int fd = tty.get();
    if (fd < 0) {
        return BoxButton::none;
    }
    const ButtonSet set = buttonsFor(type.buttons);
    int defaultIndex = static_cast<int>(type.defaultButton);
    if (defaultIndex >= set.count) {
        defaultIndex = 0;
    }
    const Button& preset = set.buttons[defaultIndex];

    std::string box = "\n== " + terminalText(caption) + " ==\n";
    if (const char* icon = iconWord(type.icon)) {
        box += std::string(icon) + ":\n";
    }
    box += terminalText(text) + "\n\n";
    for (int i = 0; i < set.count; ++i) {
        box += i == defaultIndex ? std::string("<") + set.buttons[i].label + ">"
                                 : std::string(" ") + set.buttons[i].label + " ";
        box += ' ';
    }
    box += "\n";
    const std::string prompt = std::string("Choose (Enter: ") + preset.label + "): ";

    BoxButton answer = BoxButton::none;
    std::string line;
    if (writeAll(fd, box)) {
        while (writeAll(fd, prompt)) {
            if (!readLine(fd, line)) {
                answer = preset.id;  // the input ended: as if Enter was pressed
                break;
            }
            std::size_t pick = line.find_first_not_of(" \t");
            if (pick == std::string::npos) {
                answer = preset.id;
                break;
            }
            const char key = static_cast<char>(line[pick] | 0x20);
            for (int i = 0; i < set.count && answer == BoxButton::none; ++i) {
                if (set.buttons[i].key == key) {
                    answer = set.buttons[i].id;
                }
            }
            if (answer != BoxButton::none) {
                break;
            }
        }
    }
    return answer;
}

}  // namespace velumtar::posix
