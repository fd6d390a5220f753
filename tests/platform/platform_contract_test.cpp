// What every implementation of the platform seam promises, checked against
// the real system of the build (POSIX natively, Win32 under Wine), against the
// in-memory platform the unit tests use, and against the fault platform on top
// of it with no fault set. Only the seam and a target's way to put files in
// place are used here.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>

#include "platform/platform.h"
#include "support/fake_platform.h"
#include "support/fault_platform.h"
#include "support/scratch.h"

namespace velumtar::test {
namespace {

// A platform under test with the means to prepare its files from outside.
class ContractTarget {
  public:
    virtual ~ContractTarget() = default;
    virtual Platform& platform() = 0;
    // A fresh, empty directory as a drive path.
    virtual std::string scratch() = 0;
    // A file written now with `content` (drive path).
    virtual void put(const std::string& path, const std::string& content) = 0;
    virtual void makeDirectory(const std::string& path) = 0;
    virtual void setReadOnly(const std::string& path, bool readOnly) = 0;
};

// The system's platform: files prepared on the host's file system.
class SystemTarget : public ContractTarget {
  public:
    Platform& platform() override { return systemPlatform(); }
    std::string scratch() override { return scratchDirectory(); }
    void put(const std::string& path, const std::string& content) override {
        std::ofstream out(std::filesystem::path(hostPath(path)), std::ios::binary);
        out << content;
    }
    void makeDirectory(const std::string& path) override {
        std::filesystem::create_directories(std::filesystem::path(hostPath(path)));
    }
    void setReadOnly(const std::string& path, bool readOnly) override {
        std::filesystem::permissions(
            std::filesystem::path(hostPath(path)), std::filesystem::perms::owner_write,
            readOnly ? std::filesystem::perm_options::remove : std::filesystem::perm_options::add);
    }
};

// The in-memory platform, whose clock stands at the time its files were
// last written; optionally seen through the fault platform.
class MemoryTarget : public ContractTarget {
  public:
    explicit MemoryTarget(bool faults) : faults_(memory_) {
        memory_.clock = {"20250630", "08154200"};
        memory_.env["PATH"] = "C:\\TOOLS";
        seen_ = faults ? static_cast<Platform*>(&faults_) : &memory_;
    }
    Platform& platform() override { return *seen_; }
    std::string scratch() override {
        const std::string path = "C:\\SCRATCH" + std::to_string(++scratches_);
        memory_.addDirectory(path);
        return path;
    }
    void put(const std::string& path, const std::string& content) override {
        memory_.putFile(path, content);
        memory_.addFile(path, content.size());
    }
    void makeDirectory(const std::string& path) override { memory_.addDirectory(path); }
    void setReadOnly(const std::string& path, bool readOnly) override {
        FakeEntry& entry = memory_.tree.at(memory_.normalise(path));
        entry.attributes =
            readOnly ? entry.attributes | attr::readOnly : entry.attributes & ~attr::readOnly;
    }

  private:
    FakePlatform memory_;
    FaultPlatform faults_;
    Platform* seen_;
    int scratches_ = 0;
};

struct TargetKind {
    const char* name;
    std::function<std::unique_ptr<ContractTarget>()> make;
};

class PlatformContract : public ::testing::TestWithParam<TargetKind> {
  protected:
    Platform& platform() { return target_->platform(); }
    std::string scratchDirectory() { return target_->scratch(); }

    std::string readFile(const std::string& path) {
        PlatformStatus status;
        auto file = platform().openFile(path, OpenMode::read, status);
        if (file == nullptr) {
            return "<not opened>";
        }
        std::uint64_t size = 0;
        EXPECT_EQ(file->size(size), PlatformStatus::ok);
        std::string data(size, '\0');
        std::size_t got = 0;
        EXPECT_EQ(file->read(0, data.data(), data.size(), got), PlatformStatus::ok);
        data.resize(got);
        return data;
    }

    std::unique_ptr<ContractTarget> target_ = GetParam().make();
};

// A path enclosed in double quotes, as several callers pass them.
std::string inQuotes(const std::string& path) {
    std::string text(1, '"');
    text += path;
    text += '"';
    return text;
}

TEST_P(PlatformContract, OpenModes) {
    const std::string dir = scratchDirectory();
    const std::string name = dir + "\\RECORDS.DBI";
    PlatformStatus status;

    EXPECT_EQ(platform().openFile(name, OpenMode::read, status), nullptr);
    EXPECT_EQ(status, PlatformStatus::notFound);

    auto file = platform().openFile(name, OpenMode::readWrite, status);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(status, PlatformStatus::created);
    EXPECT_EQ(file->write(0, "0123456789", 10), PlatformStatus::ok);
    EXPECT_EQ(file->write(3, "abc", 3), PlatformStatus::ok);
    EXPECT_EQ(file->sync(), PlatformStatus::ok);
    std::uint64_t size = 0;
    EXPECT_EQ(file->size(size), PlatformStatus::ok);
    EXPECT_EQ(size, 10u);
    char buffer[8];
    std::size_t got = 0;
    EXPECT_EQ(file->read(8, buffer, sizeof buffer, got), PlatformStatus::ok);
    EXPECT_EQ(got, 2u) << "a read is short only at the end of the file";
    EXPECT_EQ(file->truncate(6), PlatformStatus::ok);
    file.reset();
    EXPECT_EQ(readFile(name), "012abc");

    file = platform().openFile(inQuotes(name), OpenMode::readWrite, status);
    EXPECT_EQ(status, PlatformStatus::ok);
    file = platform().openFile(name, OpenMode::append, status);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(status, PlatformStatus::ok);
    EXPECT_EQ(file->write(0, "++", 2), PlatformStatus::ok) << "appends whatever the offset";
    file.reset();
    EXPECT_EQ(readFile(name), "012abc++");

    file = platform().openFile(name, OpenMode::read, status);
    ASSERT_NE(file, nullptr);
    EXPECT_NE(file->write(0, "x", 1), PlatformStatus::ok);
    file = platform().openFile(name, OpenMode::truncate, status);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(status, PlatformStatus::ok);
    file.reset();
    EXPECT_EQ(readFile(name), "");
    file = platform().openFile(dir + "\\NEW.LOG", OpenMode::append, status);
    EXPECT_EQ(status, PlatformStatus::created);
    file = platform().openFile(dir + "\\NEW.TXT", OpenMode::truncate, status);
    EXPECT_EQ(status, PlatformStatus::created);
    file = platform().openFile(dir + "\\NO SUCH DIR\\NEW.LOG", OpenMode::readWrite, status);
    EXPECT_EQ(file, nullptr);
    EXPECT_EQ(status, PlatformStatus::notFound);
}

TEST_P(PlatformContract, UpperCasedNamesFindMixedCaseFiles) {
    const std::string dir = scratchDirectory();
    target_->makeDirectory(dir + "\\Sub Dir");
    target_->put(dir + "\\Sub Dir\\Mixed.Txt", "mixed");
    EXPECT_EQ(readFile(dir + "\\SUB DIR\\MIXED.TXT"), "mixed");
    EXPECT_TRUE(platform().fileExists(dir + "\\SUB DIR\\MIXED.TXT"));
    EXPECT_TRUE(platform().fileExists(inQuotes(dir + "\\sub dir\\mixed.txt")));
    EXPECT_FALSE(platform().fileExists(dir + "\\SUB DIR\\OTHER.TXT"));
}

TEST_P(PlatformContract, RemoveAndRename) {
    const std::string dir = scratchDirectory();
    target_->put(dir + "\\FROM.TMP", "from");
    target_->put(dir + "\\TO.LOG", "to");

    EXPECT_NE(platform().renameFile(dir + "\\FROM.TMP", dir + "\\TO.LOG"), PlatformStatus::ok);
    EXPECT_EQ(readFile(dir + "\\TO.LOG"), "to");
    EXPECT_EQ(platform().removeFile(dir + "\\TO.LOG"), PlatformStatus::ok);
    EXPECT_FALSE(platform().fileExists(dir + "\\TO.LOG"));
    EXPECT_EQ(platform().renameFile(dir + "\\FROM.TMP", dir + "\\TO.LOG"), PlatformStatus::ok);
    EXPECT_EQ(readFile(dir + "\\TO.LOG"), "from");
    EXPECT_FALSE(platform().fileExists(dir + "\\FROM.TMP"));
    EXPECT_EQ(platform().removeFile(dir + "\\FROM.TMP"), PlatformStatus::notFound);

    // Replacing takes the place of an existing file in one step.
    target_->put(dir + "\\NEW.TMP", "new");
    EXPECT_EQ(platform().replaceFile(dir + "\\NEW.TMP", dir + "\\TO.LOG"), PlatformStatus::ok);
    EXPECT_EQ(readFile(dir + "\\TO.LOG"), "new");
    EXPECT_FALSE(platform().fileExists(dir + "\\NEW.TMP"));

    // A read-only file is not removed.
    target_->put(dir + "\\KEEP.DBI", "keep");
    target_->setReadOnly(dir + "\\KEEP.DBI", true);
    EXPECT_NE(platform().removeFile(dir + "\\KEEP.DBI"), PlatformStatus::ok);
    EXPECT_TRUE(platform().fileExists(dir + "\\KEEP.DBI"));
    target_->setReadOnly(dir + "\\KEEP.DBI", false);
}

TEST_P(PlatformContract, HeldMarkerIsLockedUntilReleased) {
    const std::string dir = scratchDirectory();
    const std::string marker = dir + "\\VELUMTAR.AKT";
    EXPECT_EQ(platform().probe(marker), PlatformStatus::notFound);

    PlatformStatus status;
    auto hold = platform().holdExclusive(marker, status);
    ASSERT_NE(hold, nullptr);
    EXPECT_TRUE(status == PlatformStatus::ok || status == PlatformStatus::created);
    EXPECT_EQ(platform().probe(marker), PlatformStatus::locked);
    EXPECT_EQ(platform().removeFile(marker), PlatformStatus::locked);
    EXPECT_TRUE(platform().fileExists(marker));

    hold.reset();
    EXPECT_EQ(platform().probe(marker), PlatformStatus::ok);
    hold = platform().holdExclusive(inQuotes(marker), status);
    ASSERT_NE(hold, nullptr);
    hold.reset();
    EXPECT_EQ(platform().removeFile(marker), PlatformStatus::ok);
    EXPECT_EQ(platform().probe(marker), PlatformStatus::notFound);
}

// Returns to the working directory of the test's start when it ends.
class StayInDirectory {
  public:
    explicit StayInDirectory(Platform& platform) : platform_(platform) {
        EXPECT_TRUE(platform_.currentDirectory(saved_));
    }
    ~StayInDirectory() { EXPECT_TRUE(platform_.changeDirectory(inQuotes(saved_ + "\\"))); }

  private:
    Platform& platform_;
    std::string saved_;
};

TEST_P(PlatformContract, WorkingDirectoryAndRelativeNames) {
    const std::string dir = scratchDirectory();
    target_->makeDirectory(dir + "\\Inner");
    StayInDirectory stay(platform());

    ASSERT_TRUE(platform().changeDirectory(inQuotes(platform().upperCase(dir) + "\\INNER")));
    std::string current;
    ASSERT_TRUE(platform().currentDirectory(current));
    EXPECT_EQ(platform().upperCase(current), platform().upperCase(dir + "\\Inner"));
    EXPECT_FALSE(platform().changeDirectory(dir + "\\NOT THERE"));

    PlatformStatus status;
    auto file = platform().openFile("LOCAL.DBI", OpenMode::readWrite, status);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(status, PlatformStatus::created);
    file.reset();
    EXPECT_TRUE(platform().fileExists(dir + "\\INNER\\LOCAL.DBI"));
    EXPECT_TRUE(platform().fileExists("\"LOCAL.DBI\""));
}

TEST_P(PlatformContract, ListingDeliversEveryEntry) {
    const std::string dir = scratchDirectory();
    target_->makeDirectory(dir + "\\Folder");
    target_->put(dir + "\\Prog.Exe", "abc");
    StayInDirectory stay(platform());
    ASSERT_TRUE(platform().changeDirectory(inQuotes(dir)));

    auto listing = platform().newListing();
    ListingEntry entry;
    int dots = 0, files = 0, folders = 0, others = 0;
    for (ListingResult r = listing->first("\"*.*\"", entry); r != ListingResult::end;
         r = listing->next(entry)) {
        ASSERT_EQ(r, ListingResult::entry);
        if (entry.kind == EntryKind::dotEntry) {
            EXPECT_TRUE(entry.name == "." || entry.name == "..");
            ++dots;
        } else if (entry.name == "Prog.Exe") {
            EXPECT_EQ(entry.kind, EntryKind::file);
            EXPECT_EQ(entry.attributes & (attr::directory | attr::archive), attr::archive);
            ++files;
        } else if (entry.name == "Folder") {
            EXPECT_EQ(entry.kind, EntryKind::directory);
            EXPECT_EQ(entry.attributes & attr::directory, attr::directory);
            ++folders;
        } else {
            ++others;
        }
    }
    listing->end();
    EXPECT_EQ(dots, 2);
    EXPECT_EQ(files, 1);
    EXPECT_EQ(folders, 1);
    EXPECT_EQ(others, 0);

    ASSERT_TRUE(platform().changeDirectory(inQuotes(dir + "\\FOLDER")));
    listing = platform().newListing();
    int count = 0;
    for (ListingResult r = listing->first("*.*", entry); r == ListingResult::entry;
         r = listing->next(entry)) {
        ++count;
    }
    EXPECT_EQ(count, 2) << "an empty directory lists only its dot entries";
}

TEST_P(PlatformContract, FileFactsAndClock) {
    const std::string dir = scratchDirectory();
    target_->put(dir + "\\Facts.Bin", std::string(1234, 'x'));
    const LocalDateTime before = platform().localDateTime();
    ASSERT_EQ(before.date.size(), 8u);
    ASSERT_EQ(before.time.size(), 8u);
    for (char c : before.date + before.time) {
        EXPECT_TRUE(c >= '0' && c <= '9') << before.date << " " << before.time;
    }

    FileInformation info;
    ASSERT_EQ(platform().fileInformation(inQuotes(platform().upperCase(dir) + "\\FACTS.BIN"), info),
              PlatformStatus::ok);
    EXPECT_EQ(info.size, 1234u);
    EXPECT_EQ(info.hundredths, 0);
    char date[16];
    std::snprintf(date, sizeof date, "%04d%02d%02d", info.year % 10000, info.month % 100,
                  info.day % 100);
    const LocalDateTime after = platform().localDateTime();
    EXPECT_TRUE(date == before.date || date == after.date)
        << date << " is neither " << before.date << " nor " << after.date;
    EXPECT_EQ(platform().fileInformation(dir + "\\MISSING.BIN", info), PlatformStatus::notFound);
}

TEST_P(PlatformContract, TextAndEnvironment) {
    EXPECT_EQ(platform().upperCase("velumtar c:\\x-1"), "VELUMTAR C:\\X-1");
    EXPECT_FALSE(platform().environment("VELUMTAR_SURELY_UNSET_VARIABLE").has_value());
    auto path = platform().environment("PATH");
    ASSERT_TRUE(path.has_value());
    EXPECT_FALSE(path->empty());
}

INSTANTIATE_TEST_SUITE_P(
    Platforms, PlatformContract,
    ::testing::Values(TargetKind{"system", [] { return std::make_unique<SystemTarget>(); }},
                      TargetKind{"memory", [] { return std::make_unique<MemoryTarget>(false); }},
                      TargetKind{"memoryWithFaults",
                                 [] { return std::make_unique<MemoryTarget>(true); }}),
    [](const ::testing::TestParamInfo<TargetKind>& info) { return info.param.name; });

}  // namespace
}  // namespace velumtar::test
