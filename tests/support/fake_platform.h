// An in-memory platform for unit tests: files and directories live in maps,
// boxes and launches are recorded, and failures can be switched on.
#pragma once

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace velumtar::test {

struct RecordedBox {
    std::string text, caption;
    unsigned type;
};

struct RecordedLaunch {
    std::string commandLine;
    int show;
    bool wait;
};

class FakePlatform : public Platform {
  public:
    FakePlatform();

    // Scripted state.
    std::vector<int> boxAnswers;  // answers given in order; 0 once used up
    std::vector<RecordedBox> boxes;
    std::vector<RecordedLaunch> launches;
    LaunchStage launchResult = 0;
    std::map<std::string, std::string> env;
    std::string workingDirectory = "C:\\TOOLS";
    bool workingDirectoryReadable = true;
    LocalDateTime clock{"20261207", "12345600"};
    std::set<std::string> heldByOthers;  // paths another process holds
    std::string arguments;
    // Fails every write to a file whose normalised name equals this, once
    // `writesBeforeFailure` writes to it have succeeded (-1: never fail).
    std::string failWritesTo;
    std::shared_ptr<long> writesBeforeFailure = std::make_shared<long>(0);

    // File contents by normalised path (upper case, drive form).
    std::map<std::string, std::shared_ptr<std::string>> files;
    std::set<std::string> directories;

    void putFile(const std::string& path, const std::string& content);
    std::string contentOf(const std::string& path) const;
    bool has(const std::string& path) const;
    std::string normalise(std::string_view path) const;

    int messageBox(std::string_view text, std::string_view caption, unsigned type) override;
    LaunchStage startProcess(std::string_view commandLine, int showWindow, bool wait) override;
    std::string upperCase(std::string_view text) override;
    bool currentDirectory(std::string& path) override;
    bool changeDirectory(std::string_view path) override;
    std::unique_ptr<DirectoryListing> newListing() override;
    PlatformStatus fileInformation(std::string_view path, FileInformation& info) override;
    LocalDateTime localDateTime() override { return clock; }
    PlatformStatus removeFile(std::string_view path) override;
    PlatformStatus renameFile(std::string_view from, std::string_view to) override;
    bool fileExists(std::string_view path) override;
    std::unique_ptr<File> openFile(std::string_view path, OpenMode mode,
                                   PlatformStatus& status) override;
    std::unique_ptr<ExclusiveHold> holdExclusive(std::string_view path,
                                                 PlatformStatus& status) override;
    PlatformStatus probe(std::string_view path) override;
    std::string argumentText(int, char**) override { return arguments; }
    std::optional<std::string> environment(std::string_view name) override;
    [[noreturn]] void exitProcess(int code) override;

    std::set<std::string> heldHere;

  private:
    std::size_t nextBox_ = 0;
};

}  // namespace velumtar::test
