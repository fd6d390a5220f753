#include "store/pager.h"

#include <algorithm>
#include <cstring>

#include "platform/platform.h"

namespace velumtar::keyed {

namespace {

constexpr std::uint64_t prime1 = 0x9E3779B185EBCA87ull;
constexpr std::uint64_t prime2 = 0xC2B2AE3D27D4EB4Full;
constexpr std::uint64_t prime3 = 0x165667B19E3779F9ull;

std::uint64_t rotl(std::uint64_t v, int s) {
    return (v << s) | (v >> (64 - s));
}

std::uint64_t load64(const std::uint8_t* p) {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    return v;  // the hosts we build for are little-endian
}

std::uint32_t hashPage(std::uint32_t page) {
    return page * 0x9E3779B1u;
}

}  // namespace

std::uint64_t checksum64(const std::uint8_t* data, std::size_t length) {
    // Position-dependent (the sums of sums weigh each word by its place), and
    // the lanes are independent, so the loop runs at memory speed.
    std::uint64_t a[4] = {1, 2, 3, 4}, b[4] = {0, 0, 0, 0};
    std::size_t i = 0;
    for (; i + 32 <= length; i += 32) {
        for (int j = 0; j < 4; ++j) {
            a[j] += load64(data + i + 8 * j);
            b[j] += a[j];
        }
    }
    if (i < length) {
        std::uint8_t tail[32] = {};
        std::memcpy(tail, data + i, length - i);
        for (int j = 0; j < 4; ++j) {
            a[j] += load64(tail + 8 * j);
            b[j] += a[j];
        }
    }
    std::uint64_t h = length * prime3;
    for (int j = 0; j < 4; ++j) {
        h = rotl(h ^ (a[j] * prime1), 27) * prime2;
        h = rotl(h ^ (b[j] * prime2), 31) * prime1;
    }
    h ^= h >> 33;
    h *= prime2;
    h ^= h >> 29;
    h *= prime3;
    h ^= h >> 32;
    return h;
}

Pager::Pager(File& file, std::size_t recordLength, std::size_t keyLength, std::size_t cacheFrames)
    : file_(file),
      recordLength_(recordLength),
      keyLength_(keyLength),
      frameCount_(std::max<std::size_t>(cacheFrames, 64)),
      cache_(new std::uint8_t[frameCount_ * pageSize]),
      frames_(frameCount_) {
    std::size_t capacity = 1;
    while (capacity < frameCount_ * 2) {
        capacity <<= 1;
    }
    table_.assign(capacity * 2, 0);
    tableMask_ = capacity - 1;
    states_.assign(metaPageCount, PageState::meta);
}

void Pager::setValidator(PageValidator validator, void* context) {
    validator_ = validator;
    validatorContext_ = context;
}

FileStatus Pager::fail(FileStatus status) {
    if (failure_.isSuccess()) {
        failure_ = status;
    }
    return failure_;
}

FileStatus Pager::ioFailure(PlatformStatus platformStatus) {
    return fail(transferStatusOf(platformStatus));
}

std::int64_t Pager::lookup(std::uint32_t page) const {
    std::size_t slot = hashPage(page) & tableMask_;
    while (table_[slot * 2] != 0) {
        if (table_[slot * 2] == page) {
            return table_[slot * 2 + 1];
        }
        slot = (slot + 1) & tableMask_;
    }
    return -1;
}

void Pager::insertMapping(std::uint32_t page, std::uint32_t frame) {
    std::size_t slot = hashPage(page) & tableMask_;
    while (table_[slot * 2] != 0) {
        slot = (slot + 1) & tableMask_;
    }
    table_[slot * 2] = page;
    table_[slot * 2 + 1] = frame;
}

void Pager::eraseMapping(std::uint32_t page) {
    std::size_t slot = hashPage(page) & tableMask_;
    while (table_[slot * 2] != page) {
        if (table_[slot * 2] == 0) {
            return;
        }
        slot = (slot + 1) & tableMask_;
    }
    // Backward-shift deletion keeps every probe chain unbroken.
    std::size_t hole = slot;
    for (std::size_t next = (hole + 1) & tableMask_; table_[next * 2] != 0;
         next = (next + 1) & tableMask_) {
        std::size_t home = hashPage(table_[next * 2]) & tableMask_;
        bool movable = hole <= next ? (home <= hole || home > next) : (home <= hole && home > next);
        if (movable) {
            table_[hole * 2] = table_[next * 2];
            table_[hole * 2 + 1] = table_[next * 2 + 1];
            hole = next;
        }
    }
    table_[hole * 2] = 0;
}

FileStatus Pager::writeFrame(std::uint32_t frame) {
    Frame& f = frames_[frame];
    std::uint8_t* data = frameData(frame);
    put32(data + hdr::pageNumber, f.page);
    if (data[hdr::kind] == leafKind) {
        // The commit this leaf belongs to: a salvage takes the newest version.
        put32(data + hdr::leafCommit, static_cast<std::uint32_t>(tree_.sequence + 1));
    }
    put64(data + hdr::checksum, checksum64(data + 8, pageSize - 8));
    PlatformStatus s = file_.write(static_cast<std::uint64_t>(f.page) * pageSize, data, pageSize);
    if (s != PlatformStatus::ok) {
        return ioFailure(s);
    }
    f.dirty = false;
    return status::success;
}

FileStatus Pager::takeFrame(std::uint32_t& frame) {
    for (std::size_t tries = 0; tries < frameCount_ * 3; ++tries) {
        std::size_t i = clockHand_;
        clockHand_ = (clockHand_ + 1) % frameCount_;
        Frame& f = frames_[i];
        if (f.page == 0) {
            frame = static_cast<std::uint32_t>(i);
            return status::success;
        }
        if (f.stamp == stamp_) {
            continue;
        }
        if (f.referenced) {
            f.referenced = false;
            continue;
        }
        // A dirty page belongs to this transaction only, so writing it early
        // to its own place touches nothing the last commit needs.
        if (f.dirty) {
            FileStatus s = writeFrame(static_cast<std::uint32_t>(i));
            if (!s.isSuccess()) {
                return s;
            }
        }
        eraseMapping(f.page);
        f.page = 0;
        frame = static_cast<std::uint32_t>(i);
        return status::success;
    }
    return fail(status::ioError);  // every frame is in use by this operation
}

FileStatus Pager::read(std::uint32_t page, std::uint8_t*& data) {
    if (!failure_.isSuccess()) {
        return failure_;
    }
    std::int64_t found = lookup(page);
    if (found >= 0) {
        Frame& f = frames_[found];
        f.referenced = true;
        f.stamp = stamp_;
        data = frameData(static_cast<std::uint32_t>(found));
        return status::success;
    }
    if (page < metaPageCount || page >= states_.size()) {
        return fail(status::damaged);
    }
    std::uint32_t frame;
    FileStatus s = takeFrame(frame);
    if (!s.isSuccess()) {
        return s;
    }
    std::uint8_t* buffer = frameData(frame);
    std::size_t got = 0;
    ++loads_;
    PlatformStatus ps =
        file_.read(static_cast<std::uint64_t>(page) * pageSize, buffer, pageSize, got);
    if (ps != PlatformStatus::ok) {
        return ioFailure(ps);
    }
    if (got != pageSize || get64(buffer + hdr::checksum) != checksum64(buffer + 8, pageSize - 8) ||
        get32(buffer + hdr::pageNumber) != page ||
        (validator_ && !validator_(buffer, validatorContext_))) {
        return fail(status::damaged);
    }
    Frame& f = frames_[frame];
    f.page = page;
    f.dirty = false;
    f.referenced = true;
    f.stamp = stamp_;
    insertMapping(page, frame);
    data = buffer;
    return status::success;
}

FileStatus Pager::allocate(std::uint32_t& page, std::uint8_t*& data) {
    if (!failure_.isSuccess()) {
        return failure_;
    }
    std::uint32_t chosen = 0;
    if (freeCount_ > 0) {
        while (freeHint_ < states_.size() && states_[freeHint_] != PageState::free) {
            ++freeHint_;
        }
        if (freeHint_ < states_.size()) {
            chosen = freeHint_++;
            --freeCount_;
        }
    }
    if (chosen == 0) {
        chosen = static_cast<std::uint32_t>(states_.size());
        states_.push_back(PageState::free);
    }
    std::uint32_t frame;
    std::int64_t cached = lookup(chosen);
    if (cached >= 0) {
        frame = static_cast<std::uint32_t>(cached);
    } else {
        FileStatus s = takeFrame(frame);
        if (!s.isSuccess()) {
            return s;
        }
        insertMapping(chosen, frame);
    }
    states_[chosen] = PageState::owned;
    Frame& f = frames_[frame];
    f.page = chosen;
    f.dirty = true;
    f.referenced = true;
    f.stamp = stamp_;
    data = frameData(frame);
    std::memset(data, 0, pageSize);
    page = chosen;
    changed_ = true;
    return status::success;
}

FileStatus Pager::writable(std::uint32_t page, std::uint32_t& moved, std::uint8_t*& data) {
    std::uint8_t* source;
    FileStatus s = read(page, source);
    if (!s.isSuccess()) {
        return s;
    }
    changed_ = true;
    if (states_[page] == PageState::owned) {
        frames_[lookup(page)].dirty = true;
        moved = page;
        data = source;
        return status::success;
    }
    s = allocate(moved, data);
    if (!s.isSuccess()) {
        return s;
    }
    std::memcpy(data, source, pageSize);
    states_[page] = PageState::pendingFree;
    return status::success;
}

void Pager::release(std::uint32_t page) {
    changed_ = true;
    if (states_[page] == PageState::owned) {
        // Never part of a commit: its number can be reused at once.
        std::int64_t frame = lookup(page);
        if (frame >= 0) {
            eraseMapping(page);
            frames_[frame] = Frame{};
        }
        states_[page] = PageState::free;
        ++freeCount_;
        freeHint_ = std::min(freeHint_, page);
    } else if (states_[page] == PageState::committed) {
        states_[page] = PageState::pendingFree;
    }
}

void Pager::discardTree() {
    for (PageState& state : states_) {
        if (state == PageState::committed) {
            state = PageState::pendingFree;
        }
    }
    tree_.root = 0;
    tree_.height = 0;
    tree_.recordCount = 0;
    changed_ = true;
}

void Pager::encodeMeta(std::uint8_t* out, const TreeState& state) const {
    std::memset(out, 0, pageSize);
    std::memcpy(out + meta::magic, magic, sizeof magic);
    put32(out + meta::version, formatVersion);
    put32(out + meta::pageSize, pageSize);
    put32(out + meta::recordLength, static_cast<std::uint32_t>(recordLength_));
    put32(out + meta::keyLength, static_cast<std::uint32_t>(keyLength_));
    put64(out + meta::sequence, state.sequence);
    put32(out + meta::root, state.root);
    put32(out + meta::height, state.height);
    put32(out + meta::pageCount, state.pageCount);
    put64(out + meta::recordCount, state.recordCount);
    put64(out + meta::checksum, checksum64(out + 8, metaBytes - 8));
}

FileStatus Pager::format() {
    std::vector<std::uint8_t> pages(2 * pageSize);
    // Both meta pages carry sequence 0: the file counts as absent until its
    // first commit, so a process that dies between creating a file and
    // committing anything leaves no empty file that reads as valid.
    TreeState first;
    TreeState second;
    encodeMeta(pages.data(), first);
    encodeMeta(pages.data() + pageSize, second);
    PlatformStatus s = file_.write(0, pages.data(), pages.size());
    if (s == PlatformStatus::ok) {
        s = file_.truncate(pages.size());
    }
    if (s == PlatformStatus::ok) {
        s = file_.sync();
    }
    if (s != PlatformStatus::ok) {
        return ioFailure(s);
    }
    tree_ = first;
    lostMetaPages_ = 0;
    states_.assign(metaPageCount, PageState::meta);
    freeCount_ = 0;
    changed_ = true;
    return status::success;
}

bool Pager::decodeMeta(const std::uint8_t* m, std::size_t got, TreeState& state,
                       bool& sameLayout) const {
    if (got != metaBytes || std::memcmp(m + meta::magic, magic, sizeof magic) != 0 ||
        get64(m + meta::checksum) != checksum64(m + 8, metaBytes - 8)) {
        return false;
    }
    sameLayout =
        get32(m + meta::version) == formatVersion && get32(m + meta::pageSize) == pageSize &&
        get32(m + meta::recordLength) == recordLength_ && get32(m + meta::keyLength) == keyLength_;
    state.sequence = get64(m + meta::sequence);
    state.root = get32(m + meta::root);
    state.height = get32(m + meta::height);
    state.pageCount = get32(m + meta::pageCount);
    state.recordCount = get64(m + meta::recordCount);
    return true;
}

FileStatus Pager::load() {
    std::uint64_t size = 0;
    PlatformStatus ps = file_.size(size);
    if (ps != PlatformStatus::ok) {
        return ioFailure(ps);
    }
    std::vector<std::uint8_t> buffer(pageSize);
    bool haveMeta = false;
    TreeState best;
    for (std::uint32_t slot = 0; slot < metaPageCount; ++slot) {
        std::size_t got = 0;
        ps = file_.read(static_cast<std::uint64_t>(slot) * pageSize, buffer.data(), metaBytes, got);
        if (ps != PlatformStatus::ok) {
            return ioFailure(ps);
        }
        TreeState state;
        bool sameLayout = false;
        if (!decodeMeta(buffer.data(), got, state, sameLayout)) {
            ++lostMetaPages_;
            continue;
        }
        if (!sameLayout) {
            return fail(status::damaged);
        }
        if (!haveMeta || state.sequence > best.sequence) {
            best = state;
            haveMeta = true;
        }
    }
    if (!haveMeta || best.pageCount < metaPageCount ||
        static_cast<std::uint64_t>(best.pageCount) * pageSize > size ||
        best.height > static_cast<std::uint32_t>(maxHeight) ||
        (best.root == 0) != (best.height == 0) ||
        (best.root != 0 && (best.root < metaPageCount || best.root >= best.pageCount))) {
        return fail(status::damaged);
    }
    if (best.sequence == 0) {
        return status::fileNotFound;  // created, never committed
    }
    tree_ = best;
    states_.assign(best.pageCount, PageState::free);
    for (std::uint32_t i = 0; i < metaPageCount; ++i) {
        states_[i] = PageState::meta;
    }
    freeCount_ = best.pageCount - metaPageCount;
    return status::success;
}

FileStatus Pager::inspect(TreeState (&metas)[metaPageCount], bool (&valid)[metaPageCount],
                          std::uint32_t& filePages) {
    std::uint64_t size = 0;
    PlatformStatus ps = file_.size(size);
    if (ps != PlatformStatus::ok) {
        return status::ioError;
    }
    std::vector<std::uint8_t> buffer(pageSize);
    for (std::uint32_t slot = 0; slot < metaPageCount; ++slot) {
        std::size_t got = 0;
        ps = file_.read(static_cast<std::uint64_t>(slot) * pageSize, buffer.data(), metaBytes, got);
        if (ps != PlatformStatus::ok) {
            return status::ioError;
        }
        bool sameLayout = false;
        valid[slot] = decodeMeta(buffer.data(), got, metas[slot], sameLayout) && sameLayout &&
                      metas[slot].height <= static_cast<std::uint32_t>(maxHeight) &&
                      (metas[slot].root == 0) == (metas[slot].height == 0);
    }
    std::uint64_t pages = std::max<std::uint64_t>(size / pageSize, metaPageCount);
    filePages = static_cast<std::uint32_t>(std::min<std::uint64_t>(pages, 0xFFFFFFFFu));
    states_.assign(filePages, PageState::free);
    return status::success;
}

FileStatus Pager::readDirect(std::uint32_t page, std::uint8_t* buffer) {
    if (page < metaPageCount || page >= states_.size()) {
        return status::damaged;
    }
    std::size_t got = 0;
    PlatformStatus ps =
        file_.read(static_cast<std::uint64_t>(page) * pageSize, buffer, pageSize, got);
    if (ps != PlatformStatus::ok) {
        return status::ioError;
    }
    if (got != pageSize || get64(buffer + hdr::checksum) != checksum64(buffer + 8, pageSize - 8) ||
        get32(buffer + hdr::pageNumber) != page ||
        (validator_ && !validator_(buffer, validatorContext_))) {
        return status::damaged;
    }
    return status::success;
}

FileStatus Pager::claim(std::uint32_t page) {
    if (page < metaPageCount || page >= states_.size() || states_[page] != PageState::free) {
        return fail(status::damaged);
    }
    states_[page] = PageState::committed;
    --freeCount_;
    return status::success;
}

FileStatus Pager::commit() {
    if (!failure_.isSuccess()) {
        return failure_;
    }
    if (!changed_) {
        return status::success;
    }
    FileStatus s = writeDirtyPages();
    if (!s.isSuccess()) {
        return s;
    }
    const std::uint32_t used = usedPageCount();
    TreeState next = tree_;
    next.sequence = tree_.sequence + 1;
    next.pageCount = used;
    s = publishMeta(next);
    if (!s.isSuccess()) {
        return s;
    }
    tree_ = next;
    changed_ = false;
    settlePageStates();
    releaseTail(used);
    return status::success;
}

FileStatus Pager::writeDirtyPages() {
    // Changed pages go first, in file order; they all sit at places the last
    // commit does not use.
    std::vector<std::uint32_t> dirty;
    for (std::uint32_t i = 0; i < frameCount_; ++i) {
        if (frames_[i].page != 0 && frames_[i].dirty) {
            dirty.push_back(i);
        }
    }
    std::sort(dirty.begin(), dirty.end(), [this](std::uint32_t a, std::uint32_t b) {
        return frames_[a].page < frames_[b].page;
    });
    for (std::uint32_t frame : dirty) {
        FileStatus s = writeFrame(frame);
        if (!s.isSuccess()) {
            return s;
        }
    }
    PlatformStatus ps = file_.sync();
    if (ps != PlatformStatus::ok) {
        return ioFailure(ps);
    }
    return status::success;
}

std::uint32_t Pager::usedPageCount() const {
    std::uint32_t used = metaPageCount;
    for (std::uint32_t i = metaPageCount; i < states_.size(); ++i) {
        if (states_[i] == PageState::committed || states_[i] == PageState::owned) {
            used = i + 1;
        }
    }
    return used;
}

FileStatus Pager::publishMeta(const TreeState& next) {
    // The meta page of the older commit is overwritten; the newer one stays
    // intact, so a torn write here falls back to it.
    std::vector<std::uint8_t> metaPage(pageSize);
    encodeMeta(metaPage.data(), next);
    PlatformStatus ps =
        file_.write(static_cast<std::uint64_t>(next.sequence % metaPageCount) * pageSize,
                    metaPage.data(), pageSize);
    if (ps == PlatformStatus::ok) {
        ps = file_.sync();
    }
    if (ps != PlatformStatus::ok) {
        return ioFailure(ps);
    }
    return status::success;
}

void Pager::settlePageStates() {
    freeCount_ = 0;
    for (std::uint32_t i = metaPageCount; i < states_.size(); ++i) {
        PageState& state = states_[i];
        if (state == PageState::owned) {
            state = PageState::committed;
        } else if (state == PageState::pendingFree || state == PageState::free) {
            state = PageState::free;
            ++freeCount_;
        }
    }
    freeHint_ = metaPageCount;
}

void Pager::releaseTail(std::uint32_t used) {
    if (used >= states_.size()) {
        return;
    }
    for (std::uint32_t i = used; i < states_.size(); ++i) {
        std::int64_t frame = lookup(i);
        if (frame >= 0) {
            eraseMapping(i);
            frames_[frame] = Frame{};
        }
    }
    freeCount_ -= states_.size() - used;
    states_.resize(used);
    // Failing to shorten the file only wastes space: the pages past `used`
    // belong to no commit.
    (void)file_.truncate(static_cast<std::uint64_t>(used) * pageSize);
}

}  // namespace velumtar::keyed
