// A platform on top of another that fails and crashes on request, for tests of
// what the storage code leaves behind: the Nth write or sync fails, and writes
// not yet synced can be lost sector by sector as in a power failure. Every
// other call goes to the platform underneath unchanged.
#pragma once

#include <cstdlib>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace velumtar::test {

class FaultPlatform : public Platform {
  public:
    explicit FaultPlatform(Platform& inner) : inner_(inner) {}

    // Calls counted since the last reset, over every file; the call with the
    // number given in failWriteAt / failSyncAt (1 = the first) and every
    // later one fail with ioError. 0: no fault.
    long writes = 0, syncs = 0;
    long failWriteAt = 0, failSyncAt = 0;
    // Keeps what crash() needs; tests that never crash turn it off to run faster.
    bool trackUnsynced = true;

    void resetFaults() {
        writes = syncs = 0;
        failWriteAt = failSyncAt = 0;
    }

    // A power failure: each file keeps its synced content, and of every write
    // since, each 512-byte sector independently survives or not (a truncation
    // likewise happens or not). Files must be closed.
    void crash(std::mt19937& random);

    // Counts everything written so far as on the device, for a test that
    // changed files underneath.
    void forgetUnsynced() { tracked_.clear(); }

    struct Change {
        bool truncate;
        std::uint64_t offset;  // for a truncation: the new size
        std::string bytes;
    };
    struct Tracked {
        std::string durable;          // what a crash keeps for sure
        std::vector<Change> pending;  // changes since the last sync, in order
    };

    std::unique_ptr<File> openFile(std::string_view path, OpenMode mode,
                                   PlatformStatus& status) override;
    PlatformStatus removeFile(std::string_view path) override;
    PlatformStatus renameFile(std::string_view from, std::string_view to) override;
    PlatformStatus replaceFile(std::string_view from, std::string_view to) override;

    int messageBox(std::string_view text, std::string_view caption, unsigned type) override {
        return inner_.messageBox(text, caption, type);
    }
    LaunchStage startProcess(std::string_view commandLine, int showWindow, bool wait) override {
        return inner_.startProcess(commandLine, showWindow, wait);
    }
    std::string upperCase(std::string_view text) override { return inner_.upperCase(text); }
    bool currentDirectory(std::string& path) override { return inner_.currentDirectory(path); }
    bool changeDirectory(std::string_view path) override { return inner_.changeDirectory(path); }
    std::unique_ptr<DirectoryListing> newListing() override { return inner_.newListing(); }
    void beginReadAhead(const WatchedNames& files) override { inner_.beginReadAhead(files); }
    void readAhead(std::string_view pattern) override { inner_.readAhead(pattern); }
    void endReadAhead() override { inner_.endReadAhead(); }
    PlatformStatus fileInformation(std::string_view path, FileInformation& info) override {
        return inner_.fileInformation(path, info);
    }
    bool entryName(std::string_view path, std::string& name) override {
        return inner_.entryName(path, name);
    }
    LocalDateTime localDateTime() override { return inner_.localDateTime(); }
    bool fileExists(std::string_view path) override { return inner_.fileExists(path); }
    std::unique_ptr<ExclusiveHold> holdExclusive(std::string_view path,
                                                 PlatformStatus& status) override {
        return inner_.holdExclusive(path, status);
    }
    PlatformStatus probe(std::string_view path) override { return inner_.probe(path); }
    std::string argumentText(int argc, char** argv) override {
        return inner_.argumentText(argc, argv);
    }
    std::optional<std::string> environment(std::string_view name) override {
        return inner_.environment(name);
    }
    [[noreturn]] void exitProcess(int code) override {
        inner_.exitProcess(code);
        std::abort();  // not reached: the platform underneath ends the process
    }

  private:
    // A moved file keeps what is unsynced of it under its new name.
    void moveTracking(std::string_view from, std::string_view to);

    Platform& inner_;
    // Files opened through this platform, by the path they were opened with.
    std::map<std::string, std::shared_ptr<Tracked>, std::less<>> tracked_;
};

}  // namespace velumtar::test
