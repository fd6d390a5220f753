// ClockOverride: a platform whose clock can be set from outside. With
// VELUMTAR_CLOCK=<16 characters> in the environment, localDateTime() answers
// its first 8 characters as the date and its last 8 (hhmmsscc) as the time of
// day, verbatim, so that tests and scheduled runs get a fixed reading.
// Everything else is the wrapped platform's.
#pragma once

#include <optional>
#include <string>

#include "platform/platform.h"

namespace velumtar {

class ClockOverride final : public Platform {
  public:
    explicit ClockOverride(Platform& system);

    LocalDateTime localDateTime() override;

    int messageBox(std::string_view text, std::string_view caption, unsigned type) override {
        return system_.messageBox(text, caption, type);
    }
    LaunchStage startProcess(std::string_view commandLine, int showWindow, bool wait) override {
        return system_.startProcess(commandLine, showWindow, wait);
    }
    std::string upperCase(std::string_view text) override { return system_.upperCase(text); }
    bool currentDirectory(std::string& path) override { return system_.currentDirectory(path); }
    bool changeDirectory(std::string_view path) override { return system_.changeDirectory(path); }
    std::unique_ptr<DirectoryListing> newListing() override { return system_.newListing(); }
    void beginReadAhead(const WatchedNames& files) override { system_.beginReadAhead(files); }
    void readAhead(std::string_view pattern) override { system_.readAhead(pattern); }
    void endReadAhead() override { system_.endReadAhead(); }
    PlatformStatus fileInformation(std::string_view path, FileInformation& info) override {
        return system_.fileInformation(path, info);
    }
    bool entryName(std::string_view path, std::string& name) override {
        return system_.entryName(path, name);
    }
    PlatformStatus removeFile(std::string_view path) override { return system_.removeFile(path); }
    PlatformStatus renameFile(std::string_view from, std::string_view to) override {
        return system_.renameFile(from, to);
    }
    PlatformStatus replaceFile(std::string_view from, std::string_view to) override {
        return system_.replaceFile(from, to);
    }
    bool fileExists(std::string_view path) override { return system_.fileExists(path); }
    std::unique_ptr<File> openFile(std::string_view path, OpenMode mode,
                                   PlatformStatus& status) override {
        return system_.openFile(path, mode, status);
    }
    std::unique_ptr<ExclusiveHold> holdExclusive(std::string_view path,
                                                 PlatformStatus& status) override {
        return system_.holdExclusive(path, status);
    }
    PlatformStatus probe(std::string_view path) override { return system_.probe(path); }
    std::string argumentText(int argc, char** argv) override {
        return system_.argumentText(argc, argv);
    }
    std::optional<std::string> environment(std::string_view name) override {
        return system_.environment(name);
    }
    [[noreturn]] void exitProcess(int code) override;

  private:
    Platform& system_;
    std::optional<std::string> clock_;
};

}  // namespace velumtar
