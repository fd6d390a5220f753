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

#include "platform/forwarding_platform.h"

namespace velumtar::test {

class FaultPlatform : public ForwardingPlatform {
  public:
    explicit FaultPlatform(Platform& inner) : ForwardingPlatform(inner), inner_(inner) {}

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
    // Every other call goes to the platform underneath.

  private:
    // A moved file keeps what is unsynced of it under its new name.
    void moveTracking(std::string_view from, std::string_view to);

    Platform& inner_;
    // Files opened through this platform, by the path they were opened with.
    std::map<std::string, std::shared_ptr<Tracked>, std::less<>> tracked_;
};

}  // namespace velumtar::test
