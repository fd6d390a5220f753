#include "support/fault_platform.h"

#include <algorithm>
#include <cstring>

namespace velumtar::test {
namespace {

constexpr std::size_t kSector = 512;

// The whole content of an open file, or nothing when it cannot be read.
std::string contentOf(File& file) {
    std::uint64_t size = 0;
    if (file.size(size) != PlatformStatus::ok) {
        return {};
    }
    std::string content(size, '\0');
    std::size_t got = 0;
    if (file.read(0, content.data(), content.size(), got) != PlatformStatus::ok) {
        return {};
    }
    content.resize(got);
    return content;
}

class FaultFile : public File {
  public:
    FaultFile(FaultPlatform& platform, std::unique_ptr<File> inner,
              std::shared_ptr<FaultPlatform::Tracked> tracked)
        : platform_(platform), inner_(std::move(inner)), tracked_(std::move(tracked)) {}

    PlatformStatus read(std::uint64_t offset, void* buffer, std::size_t length,
                        std::size_t& got) override {
        return inner_->read(offset, buffer, length, got);
    }
    PlatformStatus write(std::uint64_t offset, const void* buffer, std::size_t length) override {
        ++platform_.writes;
        if (platform_.failWriteAt > 0 && platform_.writes >= platform_.failWriteAt) {
            return PlatformStatus::ioError;
        }
        const PlatformStatus status = inner_->write(offset, buffer, length);
        if (status == PlatformStatus::ok && platform_.trackUnsynced) {
            tracked_->pending.push_back(
                {false, offset, std::string(static_cast<const char*>(buffer), length)});
        }
        return status;
    }
    PlatformStatus size(std::uint64_t& size) override { return inner_->size(size); }
    PlatformStatus identity(FileIdentity& identity) override { return inner_->identity(identity); }
    PlatformStatus truncate(std::uint64_t size) override {
        const PlatformStatus status = inner_->truncate(size);
        if (status == PlatformStatus::ok && platform_.trackUnsynced) {
            tracked_->pending.push_back({true, size, {}});
        }
        return status;
    }
    PlatformStatus sync() override {
        ++platform_.syncs;
        if (platform_.failSyncAt > 0 && platform_.syncs >= platform_.failSyncAt) {
            return PlatformStatus::ioError;
        }
        const PlatformStatus status = inner_->sync();
        if (status == PlatformStatus::ok && platform_.trackUnsynced) {
            tracked_->durable = contentOf(*inner_);
            tracked_->pending.clear();
        }
        return status;
    }

  private:
    FaultPlatform& platform_;
    std::unique_ptr<File> inner_;
    std::shared_ptr<FaultPlatform::Tracked> tracked_;
};

// What survives of one file: its durable content with each pending change
// kept or lost at random, sector by sector.
std::string survivor(const FaultPlatform::Tracked& tracked, std::mt19937& random) {
    std::string result = tracked.durable;
    for (const FaultPlatform::Change& change : tracked.pending) {
        if (change.truncate) {
            if (random() % 2) {
                result.resize(change.offset);
            }
            continue;
        }
        for (std::size_t at = 0; at < change.bytes.size(); at += kSector) {
            if (random() % 2) {
                continue;
            }
            const std::size_t n = std::min(kSector, change.bytes.size() - at);
            if (result.size() < change.offset + at + n) {
                result.resize(change.offset + at + n);
            }
            std::memcpy(result.data() + change.offset + at, change.bytes.data() + at, n);
        }
    }
    return result;
}

}  // namespace

std::unique_ptr<File> FaultPlatform::openFile(std::string_view path, OpenMode mode,
                                              PlatformStatus& status) {
    std::unique_ptr<File> file = inner_.openFile(path, mode, status);
    if (file == nullptr) {
        return nullptr;
    }
    auto it = tracked_.find(path);
    if (it == tracked_.end()) {
        // What was there before this platform saw the file counts as durable.
        auto tracked = std::make_shared<Tracked>();
        tracked->durable = contentOf(*file);
        it = tracked_.emplace(std::string(path), std::move(tracked)).first;
    } else if (mode == OpenMode::truncate) {
        it->second->durable.clear();
        it->second->pending.clear();
    }
    return std::make_unique<FaultFile>(*this, std::move(file), it->second);
}

PlatformStatus FaultPlatform::removeFile(std::string_view path) {
    const PlatformStatus status = inner_.removeFile(path);
    if (status == PlatformStatus::ok) {
        auto it = tracked_.find(path);
        if (it != tracked_.end()) {
            tracked_.erase(it);
        }
    }
    return status;
}

PlatformStatus FaultPlatform::renameFile(std::string_view from, std::string_view to) {
    const PlatformStatus status = inner_.renameFile(from, to);
    if (status == PlatformStatus::ok) {
        moveTracking(from, to);
    }
    return status;
}

PlatformStatus FaultPlatform::replaceFile(std::string_view from, std::string_view to) {
    const PlatformStatus status = inner_.replaceFile(from, to);
    if (status == PlatformStatus::ok) {
        moveTracking(from, to);
    }
    return status;
}

void FaultPlatform::moveTracking(std::string_view from, std::string_view to) {
    auto target = tracked_.find(to);
    if (target != tracked_.end()) {
        tracked_.erase(target);
    }
    auto source = tracked_.find(from);
    if (source != tracked_.end()) {
        std::shared_ptr<Tracked> moved = source->second;
        tracked_.erase(source);
        tracked_.emplace(std::string(to), std::move(moved));
    }
}

void FaultPlatform::crash(std::mt19937& random) {
    for (auto& [path, tracked] : tracked_) {
        const std::string kept = survivor(*tracked, random);
        PlatformStatus status;
        std::unique_ptr<File> file = inner_.openFile(path, OpenMode::truncate, status);
        if (file != nullptr && !kept.empty()) {
            (void)file->write(0, kept.data(), kept.size());
        }
        tracked->durable = kept;
        tracked->pending.clear();
    }
}

}  // namespace velumtar::test
