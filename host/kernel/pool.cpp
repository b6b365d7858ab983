#include "host/kernel/pool.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "host/kernel/kernel.h"
#include "host/kernel/sanitizer.h"

namespace host {

namespace {
constexpr unsigned char kFreshFill = 0xA5;  // pool is not zeroed: make that visible
constexpr unsigned char kFreedFill = 0xDD;
constexpr unsigned char kGuardFill = 0xCB;
// Guard bytes after each block, checked at its free: a write past the end
// shows without the sanitizers (which find it at once themselves, so their
// builds have none).
#if defined(TORVEX_ASAN)
constexpr SIZE_T kGuard = 0;
#else
constexpr SIZE_T kGuard = 16;
#endif
}  // namespace

std::string tag_text(ULONG tag) {
    std::string text;
    for (int i = 0; i < 4; ++i) {
        char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
        text += (c >= 0x20 && c < 0x7F) ? c : '.';
    }
    return text;
}

void Pool::BlockTable::grow() {
    std::vector<Slot> old(m_slots.size() * 2);
    old.swap(m_slots);
    m_mask = m_slots.size() - 1;
    m_count = 0;
    for (const Slot& slot : old) {
        if (slot.address != nullptr) insert(slot.address, slot.info);
    }
}

void Pool::FreedRing::grow() {
    std::vector<Freed> slots(std::max<std::size_t>(64, 2 * m_slots.size()));
    for (std::size_t i = 0; i < m_count; ++i) slots[i] = (*this)[i];
    m_slots.swap(slots);
    m_oldest = 0;
}

Pool::Pool(Kernel& kernel, std::uint64_t seed) : m_kernel(kernel), m_random(seed ^ 0x9E3779B97F4A7C15ull) {}

Pool::~Pool() {
    m_blocks.for_each([](void* block, std::uint32_t) { std::free(block); });
    for_each_freed([](const Freed& freed) { std::free(freed.block); });
}

// (Inline: asked at every allocation, and mostly nothing is set.)
inline bool Pool::should_fail(ULONG tag) {
    if (m_fail_at != 0 && m_serial == m_fail_at) {
        m_fail_at = 0;
        return true;
    }
    if (!m_fail_tags.empty() && m_fail_tags.count(tag) != 0) return true;
    if (m_fail_probability > 0.0) {
        std::uniform_real_distribution<double> draw(0.0, 1.0);
        return draw(m_random) < m_fail_probability;
    }
    return false;
}

PVOID Pool::allocate(POOL_TYPE type, SIZE_T size, ULONG tag, const void* caller) {
    Thread& thread = m_kernel.scheduler().running();
    bool paged = (type & 1) != 0;
    if (thread.irql > DISPATCH_LEVEL || (paged && thread.irql >= DISPATCH_LEVEL)) {
        char detail[160];
        std::snprintf(detail, sizeof detail,
                      "%s pool allocation of %zu bytes, tag '%s', at IRQL %u",
                      paged ? "paged" : "non-paged", static_cast<size_t>(size),
                      tag_text(tag).c_str(), thread.irql);
        bug_check(Check::IrqlTooHigh, detail);
    }
    ++m_serial;
    if (should_fail(tag)) {
        ++m_injected;
        return nullptr;
    }
    const Block info{tag, size, type, m_serial, thread.id, caller};
    const Freed spare = take_spare(size);
    void* block = spare.block;
    std::uint32_t index = spare.info;
    if (block != nullptr) {
        m_infos[index] = info;  // the spare's record, now the new block's
    } else {
        block = std::malloc(size + kGuard == 0 ? 1 : size + kGuard);
        if (block == nullptr) return nullptr;
        index = new_info(info);
    }
    std::memset(block, kFreshFill, size);
    std::memset(static_cast<unsigned char*>(block) + size, kGuardFill, kGuard);
    m_blocks.insert(block, index);
    m_kernel.trace().record(m_kernel.now(), thread.id, TraceKind::Allocate, size, block);
    return block;
}

void Pool::free(PVOID block) {
    Thread& thread = m_kernel.scheduler().running();
    const std::uint32_t index = m_blocks.find(block);
    if (index == BlockTable::kNone) {
        const bool double_free = freed(block) != nullptr;
        char detail[160];
        std::snprintf(detail, sizeof detail, "ExFreePool(%p): %s", block,
                      double_free ? "the block was already freed" : "the address is not a pool block");
        bug_check(double_free ? Check::DoubleFree : Check::NotAPoolBlock, detail);
    }
    const Block* info = &m_infos[index];
    if ((info->type & 1) != 0 && thread.irql >= DISPATCH_LEVEL) {
        bug_check(Check::IrqlTooHigh, "paged pool freed at DISPATCH_LEVEL");
    }
    if (const char* user = m_kernel.user_of(block, info->size)) {
        char detail[240];
        std::snprintf(detail, sizeof detail, "ExFreePool(%p), '%s', %zu bytes: %s", block,
                      tag_text(info->tag).c_str(), static_cast<size_t>(info->size), user);
        bug_check(Check::PoolFreedInUse, detail);
    }
    const unsigned char* guard = static_cast<const unsigned char*>(block) + info->size;
    for (SIZE_T i = 0; i < kGuard; ++i) {
        if (guard[i] == kGuardFill) continue;
        char detail[240];
        std::snprintf(detail, sizeof detail, "ExFreePool(%p), '%s', %zu bytes, allocation #%llu: byte %zu written",
                      block, tag_text(info->tag).c_str(), static_cast<size_t>(info->size),
                      static_cast<unsigned long long>(info->serial), static_cast<size_t>(info->size + i));
        bug_check(Check::WrittenPastEnd, detail);
    }
    m_kernel.trace().record(m_kernel.now(), thread.id, TraceKind::Free, info->size, block);
    std::memset(block, kFreedFill, info->size);
    m_quarantine.push_back(Freed{static_cast<unsigned char*>(block), index});
    m_quarantine_bytes += info->size;
    m_blocks.erase(block);
    while (m_quarantine.size() > kQuarantineBlocks || m_quarantine_bytes > kQuarantineBytes) release_oldest();
}

// Whether a quarantined block still holds its poison: compared a page at a
// time with a page of poison (the C library's compare runs at the memory's
// speed).
bool Pool::poisoned(const Freed& freed) const {
    static constexpr SIZE_T kPage = 4096;
    static const std::vector<unsigned char> poison(kPage, kFreedFill);
    const SIZE_T size = m_infos[freed.info].size;
    for (SIZE_T i = 0; i < size; i += kPage) {
        if (std::memcmp(freed.block + i, poison.data(), std::min(kPage, size - i)) != 0) return false;
    }
    return true;
}

// Where a quarantined block no longer holds its poison; empty when it does.
std::string Pool::corruption(const Freed& freed) const {
    const Block& info = m_infos[freed.info];
    for (SIZE_T i = 0; i < info.size; ++i) {
        if (freed.block[i] != kFreedFill) {
            char text[200];
            std::snprintf(text, sizeof text,
                          "  '%s' %zu bytes, allocation #%llu by T%u: byte %zu written after the free\n",
                          tag_text(info.tag).c_str(), static_cast<size_t>(info.size),
                          static_cast<unsigned long long>(info.serial), info.thread,
                          static_cast<size_t>(i));
            return text;
        }
    }
    return {};
}

void Pool::check_poison(const Freed& freed) const {
    if (!poisoned(freed)) bug_check(Check::WrittenAfterFree, "a freed block:\n" + corruption(freed));
}

// A spare of exactly this size (the C library's own bounds checks, under
// the sanitizers, then stay the block's), its poison checked.
Pool::Freed Pool::take_spare(SIZE_T size) {
    if (size >= m_spares.size() || m_spares[size].empty()) return Freed{nullptr, BlockTable::kNone};
    const Freed freed = m_spares[size].back();
    m_spares[size].pop_back();
    m_spare_bytes -= size;
    check_poison(freed);
    return freed;
}

std::uint32_t Pool::new_info(const Block& block) {
    if (m_unused_infos.empty()) {
        m_infos.push_back(block);
        return static_cast<std::uint32_t>(m_infos.size() - 1);
    }
    const std::uint32_t index = m_unused_infos.back();
    m_unused_infos.pop_back();
    m_infos[index] = block;
    return index;
}

void Pool::release_oldest() {
    const Freed freed = m_quarantine.pop_front();
    const SIZE_T size = m_infos[freed.info].size;
    m_quarantine_bytes -= size;
    if (size > 0 && size <= kSpareSize) {
        if (size >= m_spares.size()) m_spares.resize(size + 1);
        if (m_spares[size].size() < kSparesPerSize && m_spare_bytes + size <= kSpareBytes) {
            m_spares[size].push_back(freed);
            m_spare_bytes += size;
            return;
        }
    }
    check_poison(freed);
    std::free(freed.block);
    m_unused_infos.push_back(freed.info);
}

std::string Pool::written_after_free() const {
    std::string out;
    for_each_freed([&](const Freed& freed) {
        if (!poisoned(freed)) out += corruption(freed);
    });
    return out;
}

const Pool::Block* Pool::find(const void* block) const {
    const std::uint32_t index = m_blocks.find(block);
    return index == BlockTable::kNone ? nullptr : &m_infos[index];
}

const Pool::Block* Pool::freed(const void* block) const {
    const Block* found = nullptr;
    for_each_freed([&](const Freed& f) {
        if (f.block == block) found = &m_infos[f.info];
    });
    return found;
}

std::vector<Pool::Block> Pool::outstanding(ULONG tag) const {
    std::vector<Block> blocks;
    m_blocks.for_each([&](void*, std::uint32_t index) {
        const Block& info = m_infos[index];
        if (tag == 0 || info.tag == tag) blocks.push_back(info);
    });
    std::sort(blocks.begin(), blocks.end(),
              [](const Block& a, const Block& b) { return a.serial < b.serial; });
    return blocks;
}

std::string Pool::report(ULONG tag) const {
    std::string out;
    for (const Block& block : outstanding(tag)) {
        char line[160];
        std::snprintf(line, sizeof line,
                      "  '%s' %6zu bytes %-9s allocation #%llu by T%u (caller %p)\n",
                      tag_text(block.tag).c_str(), static_cast<size_t>(block.size),
                      (block.type & 1) ? "paged" : "non-paged",
                      static_cast<unsigned long long>(block.serial), block.thread, block.caller);
        out += line;
    }
    return out;
}

void Pool::fail_nth(std::uint64_t n) { m_fail_at = n == 0 ? 0 : m_serial + n; }
void Pool::fail_tag(ULONG tag, bool fail) {
    if (fail) {
        m_fail_tags.insert(tag);
    } else {
        m_fail_tags.erase(tag);
    }
}
void Pool::fail_random(double probability) { m_fail_probability = probability; }
void Pool::clear_failures() {
    m_fail_at = 0;
    m_fail_tags.clear();
    m_fail_probability = 0.0;
}

}  // namespace host
