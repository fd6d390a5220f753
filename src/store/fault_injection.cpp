#include "store/fault_injection.h"

#ifdef VELUMTAR_FAULT_INJECTION

#include <optional>

#include "platform/platform.h"

namespace velumtar {

namespace {

struct FaultState {
    bool loaded = false;
    std::vector<FaultItem> items;
};

FaultState& state() {
    static FaultState s;
    return s;
}

char upper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

bool sameText(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (upper(a[i]) != upper(b[i]))
            return false;
    }
    return true;
}

std::string_view trimmed(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
        s.remove_suffix(1);
    return s;
}

std::string_view unquoted(std::string_view s) {
    if (s.size() >= 2 && s.front() == '"' && s.back() == '"')
        return s.substr(1, s.size() - 2);
    return s;
}

bool kindFromWord(std::string_view word, FaultKind& kind) {
    static constexpr struct {
        std::string_view word;
        FaultKind kind;
    } kinds[] = {{"open", FaultKind::open},     {"read", FaultKind::read},
                 {"write", FaultKind::write},   {"rewrite", FaultKind::rewrite},
                 {"delete", FaultKind::remove}, {"rename", FaultKind::rename},
                 {"commit", FaultKind::commit}, {"close", FaultKind::close},
                 {"grow", FaultKind::grow}};
    for (const auto& k : kinds) {
        if (sameText(word, k.word)) {
            kind = k.kind;
            return true;
        }
    }
    return false;
}

bool parseItem(std::string_view text, FaultItem& item) {
    std::size_t first = text.find(':');
    std::size_t last = text.rfind(':');
    if (first == std::string_view::npos || last == first)
        return false;
    if (!kindFromWord(trimmed(text.substr(0, first)), item.kind))
        return false;
    std::string_view file = unquoted(trimmed(text.substr(first + 1, last - first - 1)));
    std::string_view count = trimmed(text.substr(last + 1));
    if (file.empty() || count.empty() || count.size() > 9)
        return false;
    unsigned long n = 0;
    for (char c : count) {
        if (c < '0' || c > '9')
            return false;
        n = n * 10 + static_cast<unsigned long>(c - '0');
    }
    if (n == 0)
        return false;
    item.file = std::string(file);
    item.which = n;
    item.seen = 0;
    return true;
}

}  // namespace

bool parseFaultList(std::string_view text, std::vector<FaultItem>& items) {
    items.clear();
    while (!trimmed(text).empty()) {
        std::size_t comma = text.find(',');
        std::string_view part = text.substr(0, comma);
        text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
        if (trimmed(part).empty())
            continue;
        FaultItem item;
        if (!parseItem(part, item)) {
            items.clear();
            return false;
        }
        items.push_back(std::move(item));
    }
    return true;
}

bool faultNameMatches(std::string_view itemFile, std::string_view fileName) {
    itemFile = unquoted(trimmed(itemFile));
    fileName = unquoted(fileName);
    if (sameText(itemFile, fileName))
        return true;
    if (itemFile.find_first_of("\\/:") != std::string_view::npos)
        return false;
    std::size_t cut = fileName.find_last_of("\\/:");
    return cut != std::string_view::npos && sameText(itemFile, fileName.substr(cut + 1));
}

namespace {

FaultState& loaded(Platform& platform) {
    FaultState& s = state();
    if (!s.loaded) {
        s.loaded = true;
        std::optional<std::string> list = platform.environment("VELUMTAR_FAULTS");
        // A malformed list injects nothing: the run behaves as without it.
        if (list)
            (void)parseFaultList(*list, s.items);
    }
    return s;
}

}  // namespace

bool faultListed(Platform& platform, FaultKind kind) {
    for (const FaultItem& item : loaded(platform).items) {
        if (item.kind == kind)
            return true;
    }
    return false;
}

bool injectedFault(Platform& platform, FaultKind kind, std::string_view fileName) {
    FaultState& s = loaded(platform);
    bool fail = false;
    for (FaultItem& item : s.items) {
        if (item.kind != kind || !faultNameMatches(item.file, fileName))
            continue;
        if (++item.seen == item.which)
            fail = true;
    }
    return fail;
}

void resetFaultInjection() {
    state() = FaultState();
}

}  // namespace velumtar

#endif
