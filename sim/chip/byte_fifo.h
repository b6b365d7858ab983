// A FIFO of bytes in one ring: a byte in or out is an index step, a run of
// them a copy or two. It grows (doubling) only past the most it has held.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace sim {

class ByteFifo {
public:
    std::size_t size() const { return m_size; }
    bool empty() const { return m_size == 0; }
    void clear() {
        m_head = 0;
        m_size = 0;
    }
    // The i-th byte from the front; i below size().
    std::uint8_t operator[](std::size_t i) const { return m_ring[(m_head + i) & (m_ring.size() - 1)]; }
    std::uint8_t front() const { return (*this)[0]; }

    void push_back(std::uint8_t byte) {
        if (m_size == m_ring.size()) grow(m_size + 1);
        m_ring[(m_head + m_size) & (m_ring.size() - 1)] = byte;
        ++m_size;
    }
    void append(std::span<const std::uint8_t> bytes) {
        if (m_size + bytes.size() > m_ring.size()) grow(m_size + bytes.size());
        const std::size_t tail = (m_head + m_size) & (m_ring.size() - 1);
        const std::size_t first = std::min(bytes.size(), m_ring.size() - tail);
        std::copy_n(bytes.begin(), first, m_ring.begin() + static_cast<std::ptrdiff_t>(tail));
        std::copy(bytes.begin() + static_cast<std::ptrdiff_t>(first), bytes.end(), m_ring.begin());
        m_size += bytes.size();
    }
    // Drops the first n bytes (all of them, if fewer are held).
    void pop_front(std::size_t n = 1) {
        n = std::min(n, m_size);
        m_head = m_size == n ? 0 : (m_head + n) & (m_ring.size() - 1);
        m_size -= n;
    }
    // Moves the first n bytes (all of them, if fewer are held) to the back of
    // `to`, another FIFO.
    void move_front_to(ByteFifo& to, std::size_t n) {
        n = std::min(n, m_size);
        const std::size_t first = std::min(n, m_ring.size() - m_head);
        to.append(std::span<const std::uint8_t>(m_ring).subspan(m_head, first));
        to.append(std::span<const std::uint8_t>(m_ring).first(n - first));
        pop_front(n);
    }
    // Copies the first out.size() bytes (at most size()) into out.
    void copy_front(std::span<std::uint8_t> out) const {
        const std::size_t n = std::min(out.size(), m_size);
        const std::size_t first = std::min(n, m_ring.size() - m_head);
        std::copy_n(m_ring.begin() + static_cast<std::ptrdiff_t>(m_head), first, out.begin());
        std::copy_n(m_ring.begin(), n - first, out.begin() + static_cast<std::ptrdiff_t>(first));
    }

private:
    // At least `needed` bytes of room, the held bytes moved to the front.
    void grow(std::size_t needed) {
        std::size_t capacity = std::max<std::size_t>(m_ring.size(), 64);
        while (capacity < needed) capacity *= 2;
        std::vector<std::uint8_t> ring(capacity);
        copy_front(std::span(ring).first(m_size));
        m_ring.swap(ring);
        m_head = 0;
    }

    std::vector<std::uint8_t> m_ring;  // a power of two of bytes, or none yet
    std::size_t m_head = 0;
    std::size_t m_size = 0;
};

}  // namespace sim
