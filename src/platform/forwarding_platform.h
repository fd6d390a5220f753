// ForwardingPlatform: a platform that hands every call to another one. A
// wrapper that changes a few services (the clock, reading ahead, faults for
// tests) derives from it and overrides only those.
#pragma once

#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace velumtar {

class ForwardingPlatform : public Platform {
  public:
    explicit ForwardingPlatform(Platform& inner) : inner_(inner) {}

    BoxButton messageBox(std::string_view text, std::string_view caption, BoxType type) override {
        return inner_.messageBox(text, caption, type);
    }
    LaunchStage startProcess(std::string_view commandLine, int showWindow, bool wait) override {
        return inner_.startProcess(commandLine, showWindow, wait);
    }
    std::string upperCase(std::string_view text) override { return inner_.upperCase(text); }
    bool currentDirectory(std::string& path) override { return inner_.currentDirectory(path); }
    bool changeDirectory(std::string_view path) override { return inner_.changeDirectory(path); }
    bool enterDirectory(std::string_view path) override { return inner_.enterDirectory(path); }
    std::unique_ptr<DirectoryListing> newListing() override { return inner_.newListing(); }
    void beginReadAhead(const WalkPlan& plan) override { inner_.beginReadAhead(plan); }
    void endReadAhead() override { inner_.endReadAhead(); }
    PlatformStatus fileInformation(std::string_view path, FileInformation& info) override {
        return inner_.fileInformation(path, info);
    }
    bool entryName(std::string_view path, std::string& name) override {
        return inner_.entryName(path, name);
    }
    LocalDateTime localDateTime() override { return inner_.localDateTime(); }
    PlatformStatus removeFile(std::string_view path) override { return inner_.removeFile(path); }
    PlatformStatus renameFile(std::string_view from, std::string_view to) override {
        return inner_.renameFile(from, to);
    }
    PlatformStatus replaceFile(std::string_view from, std::string_view to) override {
        return inner_.replaceFile(from, to);
    }
    bool fileExists(std::string_view path) override { return inner_.fileExists(path); }
    std::unique_ptr<File> openFile(std::string_view path, OpenMode mode,
                                   PlatformStatus& status) override {
        return inner_.openFile(path, mode, status);
    }
    std::unique_ptr<ExclusiveHold> holdExclusive(std::string_view path,
                                                 PlatformStatus& status) override {
        return inner_.holdExclusive(path, status);
    }
    PlatformStatus probe(std::string_view path) override { return inner_.probe(path); }
    std::string argumentText(int argc, char** argv) override {
        return inner_.argumentText(argc, argv);
    }
    std::unique_ptr<SystemLog> openSystemLog() override { return inner_.openSystemLog(); }
    std::optional<std::string> environment(std::string_view name) override {
        return inner_.environment(name);
    }
    [[noreturn]] void exitProcess(int code) override {
        inner_.exitProcess(code);
        std::abort();  // not reached: the platform underneath ends the process
    }

  protected:
    Platform& inner() { return inner_; }

  private:
    Platform& inner_;
};

}  // namespace velumtar
