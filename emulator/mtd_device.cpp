#include "mtd_device.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>

namespace nandemu {

namespace {

std::string hex(uint64_t v) {
    char buf[32];
    snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(v));
    return buf;
}

uint64_t mix(uint64_t x) {   // splitmix64: reproducible choices for torn operations
    x += 0x9e3779b97f4a7c15ULL;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
}

// Where a torn operation's choices start: the cut's seed and the operation's offset.
uint64_t tornState(const Fault& cut, uint64_t offset) { return mix(cut.seed ^ (offset << 1)); }

// One more call: atomically when the count decides which call fails.
uint32_t countCall(uint32_t* counter, bool decides) {
    if (decides)
        return __atomic_add_fetch(counter, 1, __ATOMIC_SEQ_CST);
    const uint32_t n = __atomic_load_n(counter, __ATOMIC_RELAXED) + 1;
    __atomic_store_n(counter, n, __ATOMIC_RELAXED);
    return n;
}

const char* formName(CutForm form) {
    return form == CutForm::Before ? "before" : form == CutForm::Torn ? "torn" : "after";
}

}  // namespace

void logEvent(const Board& board, const std::string& dev, const char* op, uint64_t offset, uint64_t length,
              const std::string& extra) {
    std::string line = std::to_string(getpid()) + " " + program_invocation_short_name + " " + dev + " " + op +
                       " " + hex(offset) + " " + hex(length);
    if (!extra.empty())
        line += " " + extra;
    board.logLine(line);
}

void MtdDevice::log(const char* op, uint64_t offset, uint64_t length, const std::string& extra) const {
    logEvent(board_, dev(), op, offset, length, extra);
}


// Counts one call of op on this partition and reports whether a fault fires for it.
const Fault* MtdDevice::failing(Op op) {
    const bool armed = board_.failArmed(op);
    auto* occ = board_.shared()->occurrences;
    const int o = static_cast<int>(op);
    const uint32_t mine = countCall(&occ[part_][o], armed);
    const uint32_t all = countCall(&occ[kMaxPartitions][o], armed);
    if (!armed)
        return nullptr;
    for (const Fault& f : board_.faults()) {
        if (f.kind != Fault::Fail || f.op != op)
            continue;
        const uint32_t count = f.part < 0 ? all : mine;
        if ((f.part < 0 || f.part == part_) && (f.occurrence == 0 || f.occurrence == count)) {
            log("fault", 0, 0, std::string(opName(op)) + ":" + (f.shortTransfer ? "short" : errnoName(f.error)));
            return &f;
        }
    }
    return nullptr;
}

// Counts one mutating operation; returns the power cut that fires at it, if any.
const Fault* MtdDevice::mutating() {
    const uint64_t n = __atomic_add_fetch(&board_.shared()->mutatingOps, 1, __ATOMIC_SEQ_CST);
    for (const Fault& f : board_.faults())
        if (f.kind == Fault::Cut && f.cutAt == n)
            return &f;
    return nullptr;
}

void MtdDevice::cutPower(const Fault& cut, uint64_t offset, uint64_t length) {
    log("powercut", offset, length, formName(cut.form));
    __atomic_store_n(&board_.shared()->powerOff, 1, __ATOMIC_SEQ_CST);
}

int MtdDevice::open() {
    if (powerOff())
        return kPowerOff;
    const Fault* f = failing(Op::Open);
    return f ? -(f->error ? f->error : EIO) : 0;
}

// Without ECC every flipped bit a read returns reaches the reader, and each
// one is a failure.
void MtdDevice::flipUncorrected(uint64_t offset, uint8_t* buf, size_t len) {
    for (const Fault& f : board_.faults())
        if (f.kind == Fault::Flip && f.part == part_ && f.offset >= offset && f.offset < offset + len) {
            buf[f.offset - offset] ^= static_cast<uint8_t>(1u << f.bit);
            __atomic_add_fetch(&board_.shared()->eccFailed[part_], 1, __ATOMIC_SEQ_CST);
        }
}

// Through the ECC: each step the read covers is corrected, or fails, whole.
void MtdDevice::flipThroughEcc(uint64_t offset, uint8_t* buf, size_t len) {
    const uint32_t step = board_.geometry().eccStep;
    const uint64_t from = offset / step * step, to = ((offset + len - 1) / step + 1) * step;
    std::map<uint64_t, uint8_t> flipped;   // byte offset: the bits that read flipped there
    for (const Fault& f : board_.faults())
        if (f.kind == Fault::Flip && f.part == part_ && f.offset >= from && f.offset < to)
            flipped[f.offset] ^= static_cast<uint8_t>(1u << f.bit);
    for (auto first = flipped.begin(); first != flipped.end();) {
        auto end = first;
        uint32_t bits = 0;
        for (; end != flipped.end() && end->first / step == first->first / step; ++end)
            bits += static_cast<uint32_t>(__builtin_popcount(end->second));
        if (bits <= board_.geometry().eccStrength) {
            __atomic_add_fetch(&board_.shared()->eccCorrected[part_], bits, __ATOMIC_SEQ_CST);
        } else {
            __atomic_add_fetch(&board_.shared()->eccFailed[part_], 1, __ATOMIC_SEQ_CST);
            for (; first != end; ++first)
                if (first->first >= offset && first->first < offset + len)
                    buf[first->first - offset] ^= first->second;
        }
        first = end;
    }
}

void MtdDevice::applyFlips(uint64_t offset, uint8_t* buf, size_t len) {
    if (!board_.hasFlips() || len == 0)
        return;
    if (board_.geometry().eccStep)
        flipThroughEcc(offset, buf, len);
    else
        flipUncorrected(offset, buf, len);
}

ssize_t MtdDevice::read(uint64_t offset, void* buf, size_t len) {
    if (powerOff())
        return kPowerOff;
    if (access_ == Access::WriteOnly)
        return -EBADF;
    const Fault* f = failing(Op::Read);
    if (f && !f->shortTransfer)
        return -f->error;
    if (offset >= size())
        return 0;
    size_t n = static_cast<size_t>(std::min<uint64_t>(len, size() - offset));
    if (f)
        n /= 2;
    board_.read(part_, offset, static_cast<uint8_t*>(buf), n);
    applyFlips(offset, static_cast<uint8_t*>(buf), n);
    return static_cast<ssize_t>(n);
}

// Programs one page, honouring a power cut at this operation; false once the power is off.
bool MtdDevice::programPage(uint64_t offset, const uint8_t* data) {
    const Geometry& g = board_.geometry();
    const Fault* cut = mutating();
    if (cut && cut->form == CutForm::Before) {
        cutPower(*cut, offset, g.page);
        return false;
    }
    uint8_t torn[kMaxTornPage];
    if (cut && cut->form == CutForm::Torn && g.page <= sizeof torn) {
        // Each bit that was to be cleared is cleared or not, reproducibly from the seed.
        uint64_t state = tornState(*cut, offset);
        for (uint32_t i = 0; i < g.page; ++i) {
            if (i % 8 == 0)
                state = mix(state);
            torn[i] = static_cast<uint8_t>(data[i] | ~(state >> (8 * (i % 8))));
        }
        data = torn;
    }
    if (board_.isBad(part_, static_cast<uint32_t>(offset / g.block)))
        log("violation", offset, g.page, "badblock");
    if (board_.programPages(part_, offset, data, g.page))
        log("violation", offset, g.page, "reprogram");
    log("program", offset, g.page);
    if (cut) {
        cutPower(*cut, offset, g.page);
        return false;
    }
    return true;
}

ssize_t MtdDevice::write(uint64_t offset, const void* buf, size_t len) {
    if (powerOff())
        return kPowerOff;
    if (access_ == Access::ReadOnly)
        return -EBADF;
    const Fault* f = failing(Op::Write);
    if (f && !f->shortTransfer)
        return -f->error;
    const uint32_t page = board_.geometry().page;
    if (offset % page || len % page)
        return -EINVAL;
    if (len == 0)
        return 0;
    if (offset >= size())
        return -ENOSPC;
    size_t n = static_cast<size_t>(std::min<uint64_t>(len, size() - offset));
    if (f)
        n = n / 2 / page * page;
    const uint8_t* data = static_cast<const uint8_t*>(buf);
    for (size_t at = 0; at < n; at += page) {
        if (board_.geometry().strict && board_.pageProgrammed(part_, static_cast<uint32_t>((offset + at) / page))) {
            log("violation", offset + at, page, "reprogram");
            return at == 0 ? -EIO : static_cast<ssize_t>(at);
        }
        if (!programPage(offset + at, data + at))
            return kPowerOff;
    }
    return static_cast<ssize_t>(n);
}

// Erases one block, honouring a power cut at this operation; false once the power is off.
bool MtdDevice::eraseBlock(uint32_t block) {
    const Geometry& g = board_.geometry();
    const uint64_t offset = static_cast<uint64_t>(block) * g.block;
    const Fault* cut = mutating();
    if (cut && cut->form == CutForm::Before) {
        cutPower(*cut, offset, g.block);
        return false;
    }
    if (cut && cut->form == CutForm::Torn) {
        uint64_t state = tornState(*cut, offset);
        for (uint32_t p = 0; p < board_.pagesPerBlock(); ++p) {
            state = mix(state);
            if (state & 1)
                board_.erasePage(part_, block * board_.pagesPerBlock() + p);
        }
    } else {
        board_.eraseBlock(part_, block);
    }
    log("erase", offset, g.block);
    if (cut) {
        cutPower(*cut, offset, g.block);
        return false;
    }
    return true;
}

int MtdDevice::erase(uint64_t start, uint64_t length) {
    if (powerOff())
        return kPowerOff;
    if (access_ == Access::ReadOnly)
        return -EPERM;   // the MTD character device refuses erase requests without write access
    if (const Fault* f = failing(Op::Erase))
        return -f->error;
    const uint32_t block = board_.geometry().block;
    // As the kernel checks: the range first, then an empty erase succeeds, then alignment.
    if (start >= size() || length > size() - start)
        return -EINVAL;
    if (length == 0)
        return 0;
    if (start % block || length % block)
        return -EINVAL;
    for (uint64_t at = start; at < start + length; at += block) {
        const uint32_t b = static_cast<uint32_t>(at / block);
        if (board_.isBad(part_, b))
            return -EIO;   // the kernel refuses to erase a bad block
        if (!eraseBlock(b))
            return kPowerOff;
    }
    return 0;
}

int MtdDevice::getInfo(mtd_info_user* info) {
    if (powerOff())
        return kPowerOff;
    if (const Fault* f = failing(Op::GetInfo))
        return -f->error;
    const Geometry& g = board_.geometry();
    *info = mtd_info_user{};
    info->type = MTD_NANDFLASH;
    info->flags = MTD_CAP_NANDFLASH;
    info->size = static_cast<uint32_t>(size());
    info->erasesize = g.block;
    info->writesize = g.page;
    info->oobsize = g.oob;
    return 0;
}

int MtdDevice::getBadBlock(int64_t offset) {
    if (powerOff())
        return kPowerOff;
    if (const Fault* f = failing(Op::GetBadBlock))
        return -f->error;
    if (offset < 0 || static_cast<uint64_t>(offset) >= size())
        return -EINVAL;
    return board_.isBad(part_, static_cast<uint32_t>(static_cast<uint64_t>(offset) / board_.geometry().block)) ? 1 : 0;
}

int MtdDevice::eccStats(mtd_ecc_stats* stats) const {
    if (powerOff())
        return kPowerOff;
    *stats = mtd_ecc_stats{};
    stats->failed = __atomic_load_n(&board_.shared()->eccFailed[part_], __ATOMIC_SEQ_CST);
    stats->corrected = __atomic_load_n(&board_.shared()->eccCorrected[part_], __ATOMIC_SEQ_CST);
    stats->badblocks = static_cast<uint32_t>(board_.badBlocks(part_).size());
    return 0;
}

// One OOB transfer as the kernel's MEMREADOOB/MEMWRITEOOB make it: the page
// holding start, from the spare offset start % page, on through the following
// pages' areas. A read fills buf; a write (data set) programs data. The data
// area is not touched.
int MtdDevice::oob(uint64_t start, uint32_t* length, uint8_t* buf, const uint8_t* data) {
    if (powerOff())
        return kPowerOff;
    if (data && access_ == Access::ReadOnly)
        return -EPERM;
    const Geometry& g = board_.geometry();
    const uint32_t ooboffs = static_cast<uint32_t>(start % g.page);
    if (*length > kMaxOobTransfer || start >= size() || ooboffs >= g.oob)
        return -EINVAL;
    const uint64_t firstPage = start / g.page;
    const uint64_t room = (size() / g.page - firstPage) * g.oob - ooboffs;
    if (*length > room)
        return -EINVAL;
    for (uint32_t done = 0; done < *length;) {
        const uint64_t at = ooboffs + done;
        const uint32_t page = static_cast<uint32_t>(firstPage + at / g.oob);
        const uint32_t offset = static_cast<uint32_t>(at % g.oob);
        const uint32_t n = std::min(*length - done, g.oob - offset);
        if (data) {
            if (board_.isBad(part_, page / board_.pagesPerBlock()))
                log("violation", uint64_t{page} * g.page, n, "badblock");
            board_.programOob(part_, page, offset, data + done, n);
            log("oob", uint64_t{page} * g.page + offset, n);
        } else {
            board_.readOob(part_, page, offset, buf + done, n);
        }
        done += n;
    }
    return 0;
}

int MtdDevice::readOob(uint64_t start, uint32_t* length, uint8_t* buf) { return oob(start, length, buf, nullptr); }

int MtdDevice::writeOob(uint64_t start, uint32_t* length, const uint8_t* buf) {
    return oob(start, length, nullptr, buf);
}

namespace {

// The kernel's argument structs are copied in and out whole: a caller's
// struct need not be aligned.
template <typename T>
T load(const void* arg) {
    T value;
    memcpy(&value, arg, sizeof value);
    return value;
}

template <typename T>
void store(void* arg, const T& value) {
    memcpy(arg, &value, sizeof value);
}

// A struct the request only fills: copied out on success alone.
template <typename T, typename Call>
int copiedOut(void* arg, Call call) {
    T value;
    const int r = call(&value);
    if (r == 0)
        store(arg, value);
    return r;
}

uint8_t* userPointer(const mtd_oob_buf& b) { return b.ptr; }
uint8_t* userPointer(const mtd_oob_buf64& b) { return reinterpret_cast<uint8_t*>(static_cast<uintptr_t>(b.usr_ptr)); }

}  // namespace

// Either OOB struct: the length done is copied back whatever the answer.
template <typename Buf>
int MtdDevice::oobRequest(void* arg, bool write) {
    auto b = load<Buf>(arg);
    uint8_t* ptr = userPointer(b);
    const int r = oob(b.start, &b.length, ptr, write ? ptr : nullptr);
    store(arg, b);
    return r;
}

int MtdDevice::ioctl(unsigned long request, void* arg) {
    switch (request) {
    case MEMGETINFO:
        return copiedOut<mtd_info_user>(arg, [this](mtd_info_user* info) { return getInfo(info); });
    case MEMGETBADBLOCK:
        return getBadBlock(load<loff_t>(arg));
    case MEMERASE: {
        const auto e = load<erase_info_user>(arg);
        return erase(e.start, e.length);
    }
    case MEMERASE64: {
        const auto e = load<erase_info_user64>(arg);
        return erase(e.start, e.length);
    }
    case ECCGETSTATS:
        return copiedOut<mtd_ecc_stats>(arg, [this](mtd_ecc_stats* st) { return eccStats(st); });
    case MEMISLOCKED:   // a NAND chip has no lock support
        return powerOff() ? kPowerOff : -EOPNOTSUPP;
    case MEMREADOOB:
    case MEMWRITEOOB:
        return oobRequest<mtd_oob_buf>(arg, request == MEMWRITEOOB);
    case MEMREADOOB64:
    case MEMWRITEOOB64:
        return oobRequest<mtd_oob_buf64>(arg, request == MEMWRITEOOB64);
    default:
        return -ENOTTY;
    }
}

}  // namespace nandemu
