// Pool with tagged accounting and injected allocation failures.
#pragma once

#include <cstdint>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "platform/wdm.h"

namespace host {

class Kernel;

// The tag as a driver writes it (' mdW') from the four characters it shows ("Wdm ").
constexpr ULONG pool_tag(const char (&text)[5]) {
    return static_cast<ULONG>(static_cast<unsigned char>(text[0])) |
           static_cast<ULONG>(static_cast<unsigned char>(text[1])) << 8 |
           static_cast<ULONG>(static_cast<unsigned char>(text[2])) << 16 |
           static_cast<ULONG>(static_cast<unsigned char>(text[3])) << 24;
}
std::string tag_text(ULONG tag);

class Pool {
public:
    struct Block {
        ULONG tag = 0;
        SIZE_T size = 0;
        POOL_TYPE type = NonPagedPool;
        std::uint64_t serial = 0;  // allocation number since the world began
        std::uint32_t thread = 0;
        const void* caller = nullptr;
    };

    Pool(Kernel& kernel, std::uint64_t seed);
    ~Pool();
    Pool(const Pool&) = delete;
    Pool& operator=(const Pool&) = delete;

    PVOID allocate(POOL_TYPE type, SIZE_T size, ULONG tag, const void* caller);
    void free(PVOID block);
    // A live block's record; null if the address is none. (find and freed
    // answer records that hold until the next allocation.)
    const Block* find(const void* block) const;
    // The block if it was freed and is still poisoned (in the quarantine or
    // a spare; for the reports of a use after the free: a linear search).
    const Block* freed(const void* block) const;
    // Freed blocks are kept poisoned, not handed out again, until this many
    // (or this many bytes) have been freed since: a double free is told as
    // one. A block leaving the quarantine is kept, still poisoned, as a spare
    // for the next allocation of its size (up to kSparesPerSize of each size
    // up to kSpareSize), or goes back to the C library: a write after the
    // free is found when the block is handed out again or given back, or at
    // the world's end. The spares hold kSpareBytes at most.
    static constexpr std::size_t kQuarantineBlocks = 4096;
    static constexpr std::size_t kQuarantineBytes = 4 << 20;
    static constexpr std::size_t kSpareSize = 4096;
    static constexpr std::size_t kSparesPerSize = 16;
    static constexpr std::size_t kSpareBytes = 1 << 20;
    // The freed blocks written after their free; empty when none.
    std::string written_after_free() const;

    // Outstanding blocks, oldest first; tag 0 means every tag.
    std::vector<Block> outstanding(ULONG tag = 0) const;
    std::string report(ULONG tag = 0) const;
    std::uint64_t allocations() const { return m_serial; }

    // Injected failures. fail_nth(1) fails the next allocation; fail_tag fails
    // every allocation of the tag until cleared; fail_random fails each
    // allocation with the probability, drawn from the world's seed.
    void fail_nth(std::uint64_t n);
    void fail_tag(ULONG tag, bool fail = true);
    void fail_random(double probability);
    void clear_failures();
    std::uint64_t injected_failures() const { return m_injected; }

private:
    // The live blocks by address, each with the index of its record:
    // open addressing with linear probing, a removal shifting back the
    // entries after it, doubled at half full: no allocation a block, and
    // most lookups take one probe.
    class BlockTable {
    public:
        static constexpr std::uint32_t kNone = ~std::uint32_t{0};
        BlockTable() : m_slots(64) {}
        std::uint32_t find(const void* address) const {  // kNone if not live
            for (std::size_t i = home(address);; i = (i + 1) & m_mask) {
                if (m_slots[i].address == address) return m_slots[i].info;
                if (m_slots[i].address == nullptr) return kNone;
            }
        }
        void insert(void* address, std::uint32_t info) {
            if (2 * (m_count + 1) > m_slots.size()) grow();
            const std::size_t start = home(address);
            std::size_t i = start;
            while (m_slots[i].address != nullptr) i = (i + 1) & m_mask;
            m_slots[i] = Slot{address, info, static_cast<std::uint32_t>(start)};
            ++m_count;
        }
        void erase(const void* address) {
            std::size_t hole = home(address);
            while (m_slots[hole].address != address) {
                if (m_slots[hole].address == nullptr) return;
                hole = (hole + 1) & m_mask;
            }
            // Each entry after the hole, up to the next empty slot, moves into
            // it unless the hole lies before its home on its probe path.
            for (std::size_t i = (hole + 1) & m_mask; m_slots[i].address != nullptr; i = (i + 1) & m_mask) {
                const std::size_t from_home = (i - m_slots[i].home) & m_mask;
                if (((i - hole) & m_mask) <= from_home) {
                    m_slots[hole] = m_slots[i];
                    hole = i;
                }
            }
            m_slots[hole].address = nullptr;
            --m_count;
        }
        template <typename F>
        void for_each(F f) const {
            for (const Slot& slot : m_slots) {
                if (slot.address != nullptr) f(slot.address, slot.info);
            }
        }

    private:
        void grow();
        struct Slot {
            void* address = nullptr;
            std::uint32_t info = 0;
            std::uint32_t home = 0;  // where its probe path starts
        };
        std::size_t home(const void* address) const {
            // The allocator's blocks are 16-byte aligned: the multiply spreads
            // the bits above that over the top, where the index is taken.
            const auto bits = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(address)) >> 4;
            return static_cast<std::size_t>((bits * 0x9E3779B97F4A7C15ull) >> 32) & m_mask;
        }
        std::vector<Slot> m_slots;
        std::size_t m_mask = 63;  // the slots are a power of two
        std::size_t m_count = 0;
    };
    // A freed block, its record kept until the block is handed out again or
    // goes back to the C library.
    struct Freed {
        unsigned char* block;
        std::uint32_t info;
    };
    // The quarantine: a ring, oldest first, that doubles when full (no
    // allocation a free, as a deque's chunks would take).
    class FreedRing {
    public:
        std::size_t size() const { return m_count; }
        const Freed& operator[](std::size_t i) const { return m_slots[(m_oldest + i) & (m_slots.size() - 1)]; }
        void push_back(const Freed& freed) {
            if (m_count == m_slots.size()) grow();
            m_slots[(m_oldest + m_count) & (m_slots.size() - 1)] = freed;
            ++m_count;
        }
        Freed pop_front() {
            const Freed oldest = m_slots[m_oldest];
            m_oldest = (m_oldest + 1) & (m_slots.size() - 1);
            --m_count;
            return oldest;
        }

    private:
        void grow();
        std::vector<Freed> m_slots;  // a power of two of them, or none
        std::size_t m_oldest = 0;
        std::size_t m_count = 0;
    };
    bool should_fail(ULONG tag);
    std::uint32_t new_info(const Block& block);
    bool poisoned(const Freed& freed) const;
    std::string corruption(const Freed& freed) const;
    void check_poison(const Freed& freed) const;
    // Calls f for each freed block still poisoned: the quarantine's, then the spares.
    template <typename F>
    void for_each_freed(F f) const {
        for (std::size_t i = 0; i < m_quarantine.size(); ++i) f(m_quarantine[i]);
        for (const std::vector<Freed>& spares : m_spares) {
            for (const Freed& freed : spares) f(freed);
        }
    }
    Freed take_spare(SIZE_T size);  // a null block if none
    void release_oldest();

    Kernel& m_kernel;
    std::mt19937_64 m_random;
    BlockTable m_blocks;
    // The records of the live, quarantined and spare blocks, by index (the
    // table and the freed lists carry the index: a record is written once
    // and keeps its index); the indices of the records no block holds.
    std::vector<Block> m_infos;
    std::vector<std::uint32_t> m_unused_infos;
    FreedRing m_quarantine;
    std::size_t m_quarantine_bytes = 0;
    std::vector<std::vector<Freed>> m_spares;  // by size, as far as a size has had one
    std::size_t m_spare_bytes = 0;
    std::uint64_t m_serial = 0;
    std::uint64_t m_fail_at = 0;  // serial number that fails, 0 for none
    std::set<ULONG> m_fail_tags;
    double m_fail_probability = 0.0;
    std::uint64_t m_injected = 0;
};

}  // namespace host
