// An in-memory platform for keyed-file tests: files live in memory, writes
// not yet synced can be lost as in a power failure, and the Nth write or sync
// can be made to fail.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace velumtar::test {

struct MemoryFileData {
    std::vector<std::uint8_t> content;  // what reads see
    std::vector<std::uint8_t> durable;  // what a crash keeps for sure
    struct Pending {
        bool truncate;
        std::uint64_t offset;  // for a truncate: the new size
        std::vector<std::uint8_t> bytes;
    };
    std::vector<Pending> pending;  // changes since the last sync, in order
};

class MemoryPlatform;

class MemoryFile : public File {
  public:
    MemoryFile(MemoryPlatform& platform, std::shared_ptr<MemoryFileData> data)
        : platform_(platform), data_(std::move(data)) {}
    PlatformStatus read(std::uint64_t offset, void* buffer, std::size_t length,
                        std::size_t& got) override;
    PlatformStatus write(std::uint64_t offset, const void* buffer, std::size_t length) override;
    PlatformStatus size(std::uint64_t& size) override {
        size = data_->content.size();
        return PlatformStatus::ok;
    }
    PlatformStatus truncate(std::uint64_t size) override;
    PlatformStatus sync() override;

  private:
    MemoryPlatform& platform_;
    std::shared_ptr<MemoryFileData> data_;
};

class MemoryPlatform : public Platform {
  public:
    std::map<std::string, std::shared_ptr<MemoryFileData>, std::less<>> files;
    // Calls counted since the last reset; the call with the number given in
    // failWriteAt / failSyncAt (1 = the first) and every later one fail.
    long writes = 0, syncs = 0;
    long failWriteAt = 0, failSyncAt = 0;
    bool denyAccess = false;
    // Keeps what crash() needs; tests that never crash turn it off to run faster.
    bool trackUnsynced = true;

    void resetFaults() {
        writes = syncs = 0;
        failWriteAt = failSyncAt = 0;
    }

    // A power failure: each file keeps its synced content, and of every write
    // since, each 512-byte sector independently survives or not.
    void crash(std::mt19937& random) {
        for (auto& [name, data] : files) {
            std::vector<std::uint8_t> result = data->durable;
            for (const MemoryFileData::Pending& p : data->pending) {
                if (p.truncate) {
                    if (random() % 2) {
                        result.resize(p.offset);
                    }
                    continue;
                }
                for (std::size_t at = 0; at < p.bytes.size(); at += 512) {
                    if (random() % 2) {
                        continue;
                    }
                    std::size_t n = std::min<std::size_t>(512, p.bytes.size() - at);
                    if (result.size() < p.offset + at + n) {
                        result.resize(p.offset + at + n);
                    }
                    std::memcpy(result.data() + p.offset + at, p.bytes.data() + at, n);
                }
            }
            data->content = result;
            data->durable = result;
            data->pending.clear();
        }
    }

    std::unique_ptr<File> openFile(std::string_view path, OpenMode mode,
                                   PlatformStatus& status) override {
        if (denyAccess) {
            status = PlatformStatus::accessDenied;
            return nullptr;
        }
        auto it = files.find(path);
        status = PlatformStatus::ok;
        if (it == files.end()) {
            if (mode == OpenMode::read || mode == OpenMode::readFollowing) {
                status = PlatformStatus::notFound;
                return nullptr;
            }
            it = files.emplace(std::string(path), std::make_shared<MemoryFileData>()).first;
            status = PlatformStatus::created;
        } else if (mode == OpenMode::truncate) {
            it->second->content.clear();
            it->second->durable.clear();
            it->second->pending.clear();
        }
        return std::make_unique<MemoryFile>(*this, it->second);
    }
    PlatformStatus removeFile(std::string_view path) override {
        auto it = files.find(path);
        if (it == files.end()) {
            return PlatformStatus::notFound;
        }
        files.erase(it);
        return PlatformStatus::ok;
    }
    bool fileExists(std::string_view path) override { return files.find(path) != files.end(); }

    int messageBox(std::string_view, std::string_view, unsigned) override { return 0; }
    LaunchStage startProcess(std::string_view, int, bool) override { return 1; }
    std::string upperCase(std::string_view text) override { return std::string(text); }
    bool currentDirectory(std::string&) override { return false; }
    bool changeDirectory(std::string_view) override { return false; }
    std::unique_ptr<DirectoryListing> newListing() override { return nullptr; }
    PlatformStatus fileInformation(std::string_view, FileInformation&) override {
        return PlatformStatus::notFound;
    }
    bool entryName(std::string_view, std::string&) override { return false; }
    LocalDateTime localDateTime() override { return {}; }
    PlatformStatus renameFile(std::string_view, std::string_view) override {
        return PlatformStatus::ioError;
    }
    PlatformStatus replaceFile(std::string_view, std::string_view) override {
        return PlatformStatus::ioError;
    }
    std::unique_ptr<ExclusiveHold> holdExclusive(std::string_view,
                                                 PlatformStatus& status) override {
        status = PlatformStatus::ioError;
        return nullptr;
    }
    PlatformStatus probe(std::string_view path) override {
        return fileExists(path) ? PlatformStatus::ok : PlatformStatus::notFound;
    }
    std::string argumentText(int, char**) override { return {}; }
    std::optional<std::string> environment(std::string_view) override { return std::nullopt; }
    [[noreturn]] void exitProcess(int) override { std::abort(); }
};

inline PlatformStatus MemoryFile::read(std::uint64_t offset, void* buffer, std::size_t length,
                                       std::size_t& got) {
    const auto& content = data_->content;
    got = offset >= content.size() ? 0 : std::min<std::size_t>(length, content.size() - offset);
    if (got > 0) {
        std::memcpy(buffer, content.data() + offset, got);
    }
    return PlatformStatus::ok;
}

inline PlatformStatus MemoryFile::write(std::uint64_t offset, const void* buffer,
                                        std::size_t length) {
    ++platform_.writes;
    if (platform_.failWriteAt > 0 && platform_.writes >= platform_.failWriteAt) {
        return PlatformStatus::ioError;
    }
    auto& content = data_->content;
    if (content.size() < offset + length) {
        content.resize(offset + length);
    }
    std::memcpy(content.data() + offset, buffer, length);
    if (platform_.trackUnsynced) {
        const auto* bytes = static_cast<const std::uint8_t*>(buffer);
        data_->pending.push_back({false, offset, std::vector<std::uint8_t>(bytes, bytes + length)});
    }
    return PlatformStatus::ok;
}

inline PlatformStatus MemoryFile::truncate(std::uint64_t size) {
    data_->content.resize(size);
    if (platform_.trackUnsynced) {
        data_->pending.push_back({true, size, {}});
    }
    return PlatformStatus::ok;
}

inline PlatformStatus MemoryFile::sync() {
    ++platform_.syncs;
    if (platform_.failSyncAt > 0 && platform_.syncs >= platform_.failSyncAt) {
        return PlatformStatus::ioError;
    }
    if (platform_.trackUnsynced) {
        data_->durable = data_->content;
        data_->pending.clear();
    }
    return PlatformStatus::ok;
}

}  // namespace velumtar::test
