#include "support/fake_platform.h"

#include <cstdlib>
#include <cstring>

namespace velumtar::test {

namespace {

class MemoryFile : public File {
  public:
    MemoryFile(std::shared_ptr<std::string> data, std::shared_ptr<long> budget)
        : data_(std::move(data)), budget_(std::move(budget)) {}
    PlatformStatus read(std::uint64_t offset, void* buffer, std::size_t length,
                        std::size_t& got) override {
        got = 0;
        if (offset < data_->size()) {
            got = std::min<std::size_t>(length, data_->size() - offset);
            std::memcpy(buffer, data_->data() + offset, got);
        }
        return PlatformStatus::ok;
    }
    PlatformStatus write(std::uint64_t offset, const void* buffer, std::size_t length) override {
        if (budget_) {
            if (*budget_ == 0) return PlatformStatus::noSpace;
            if (*budget_ > 0) --*budget_;
        }
        if (data_->size() < offset + length)
            data_->resize(offset + length, '\0');
        std::memcpy(data_->data() + offset, buffer, length);
        return PlatformStatus::ok;
    }
    PlatformStatus size(std::uint64_t& size) override {
        size = data_->size();
        return PlatformStatus::ok;
    }
    PlatformStatus truncate(std::uint64_t size) override {
        data_->resize(size);
        return PlatformStatus::ok;
    }
    PlatformStatus sync() override { return PlatformStatus::ok; }

  private:
    std::shared_ptr<std::string> data_;
    std::shared_ptr<long> budget_;  // writes left before failing; null: unlimited
};

class Hold : public ExclusiveHold {
  public:
    Hold(std::set<std::string>& held, std::string path) : held_(held), path_(std::move(path)) {
        held_.insert(path_);
    }
    ~Hold() override { held_.erase(path_); }

  private:
    std::set<std::string>& held_;
    std::string path_;
};

class EmptyListing : public DirectoryListing {
  public:
    ListingResult first(std::string_view, ListingEntry&) override { return ListingResult::end; }
    ListingResult next(ListingEntry&) override { return ListingResult::end; }
    void end() override {}
};

}  // namespace

FakePlatform::FakePlatform() {
    directories.insert("C:");
}

std::string FakePlatform::normalise(std::string_view path) const {
    std::string p(path);
    if (p.size() >= 2 && p.front() == '"' && p.back() == '"')
        p = p.substr(1, p.size() - 2);
    for (char& c : p) {
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
        if (c == '/')
            c = '\\';
    }
    if (p.size() < 2 || p[1] != ':') {
        std::string dir = workingDirectory;
        for (char& c : dir) {
            if (c >= 'a' && c <= 'z')
                c = static_cast<char>(c - 'a' + 'A');
        }
        p = dir + "\\" + p;
    }
    return p;
}

void FakePlatform::putFile(const std::string& path, const std::string& content) {
    files[normalise(path)] = std::make_shared<std::string>(content);
}

std::string FakePlatform::contentOf(const std::string& path) const {
    auto it = files.find(normalise(path));
    return it == files.end() ? std::string() : *it->second;
}

bool FakePlatform::has(const std::string& path) const {
    return files.count(normalise(path)) != 0;
}

int FakePlatform::messageBox(std::string_view text, std::string_view caption, unsigned type) {
    boxes.push_back({std::string(text), std::string(caption), type});
    return nextBox_ < boxAnswers.size() ? boxAnswers[nextBox_++] : 0;
}

LaunchStage FakePlatform::startProcess(std::string_view commandLine, int showWindow, bool wait) {
    launches.push_back({std::string(commandLine), showWindow, wait});
    return launchResult;
}

std::string FakePlatform::upperCase(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    }
    return out;
}

bool FakePlatform::currentDirectory(std::string& path) {
    path = workingDirectory;
    return workingDirectoryReadable;
}

bool FakePlatform::changeDirectory(std::string_view path) {
    std::string p = normalise(path);
    while (p.size() > 2 && p.back() == '\\')
        p.pop_back();
    if (!directories.count(p))
        return false;
    workingDirectory = p;
    return true;
}

std::unique_ptr<DirectoryListing> FakePlatform::newListing() {
    return std::make_unique<EmptyListing>();
}

PlatformStatus FakePlatform::fileInformation(std::string_view path, FileInformation& info) {
    auto it = files.find(normalise(path));
    if (it == files.end())
        return PlatformStatus::notFound;
    info = FileInformation{};
    info.size = it->second->size();
    return PlatformStatus::ok;
}

PlatformStatus FakePlatform::removeFile(std::string_view path) {
    std::string p = normalise(path);
    if (heldByOthers.count(p) || heldHere.count(p))
        return PlatformStatus::locked;
    return files.erase(p) ? PlatformStatus::ok : PlatformStatus::notFound;
}

PlatformStatus FakePlatform::renameFile(std::string_view from, std::string_view to) {
    std::string f = normalise(from), t = normalise(to);
    if (!files.count(f))
        return PlatformStatus::notFound;
    if (files.count(t))
        return PlatformStatus::ioError;
    files[t] = files[f];
    files.erase(f);
    return PlatformStatus::ok;
}

bool FakePlatform::fileExists(std::string_view path) {
    return files.count(normalise(path)) != 0;
}

std::unique_ptr<File> FakePlatform::openFile(std::string_view path, OpenMode mode,
                                             PlatformStatus& status) {
    std::string p = normalise(path);
    if (heldByOthers.count(p) || heldHere.count(p)) {
        status = PlatformStatus::locked;
        return nullptr;
    }
    auto it = files.find(p);
    status = PlatformStatus::ok;
    if (it == files.end()) {
        if (mode == OpenMode::read) {
            status = PlatformStatus::notFound;
            return nullptr;
        }
        it = files.emplace(p, std::make_shared<std::string>()).first;
        status = PlatformStatus::created;
    } else if (mode == OpenMode::truncate) {
        it->second->clear();
    }
    return std::make_unique<MemoryFile>(
        it->second, p == failWritesTo ? writesBeforeFailure : std::shared_ptr<long>());
}

std::unique_ptr<ExclusiveHold> FakePlatform::holdExclusive(std::string_view path,
                                                           PlatformStatus& status) {
    std::string p = normalise(path);
    if (heldByOthers.count(p)) {
        status = PlatformStatus::locked;
        return nullptr;
    }
    status = files.count(p) ? PlatformStatus::ok : PlatformStatus::created;
    files[p] = std::make_shared<std::string>();
    return std::make_unique<Hold>(heldHere, p);
}

PlatformStatus FakePlatform::probe(std::string_view path) {
    std::string p = normalise(path);
    if (heldByOthers.count(p))
        return PlatformStatus::locked;
    return files.count(p) ? PlatformStatus::ok : PlatformStatus::notFound;
}

std::optional<std::string> FakePlatform::environment(std::string_view name) {
    auto it = env.find(std::string(name));
    if (it == env.end())
        return std::nullopt;
    return it->second;
}

void FakePlatform::exitProcess(int code) {
    std::exit(code);
}

}  // namespace velumtar::test
