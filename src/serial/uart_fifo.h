// The bytes a UART's own FIFO may still hold, which no queue count includes. Closing a device
// restores the speed it had before it was opened, so the last bytes must have left the FIFO
// first; but a FIFO holds no more than was written, and it empties within its own length of
// byte times once the counted queue is seen empty. A close long after the last write (the
// switch of speed after the boot loader's pause) need not wait at all.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>

namespace flashupdate {

class UartFifo {
public:
    using Nanos = std::chrono::nanoseconds;

    explicit UartFifo(std::size_t capacity) : m_capacity(capacity) {}

    // bytes were handed to the device at now, each taking byteTime on the line.
    void wrote(std::size_t bytes, Nanos byteTime, Nanos now);
    // The device counted queued bytes not yet passed to the FIFO at now.
    void queueSeen(std::size_t queued, Nanos now);
    // How long from now the FIFO may still hold bytes; zero unless the queue was last seen
    // empty (a counted queue is the caller's to wait for).
    Nanos emptyIn(Nanos now) const;

private:
    std::size_t m_capacity;
    // Bytes written since the queue was last seen empty (at most the capacity).
    std::size_t m_unsettled = 0;
    // The slowest byte time among them: a speed changed meanwhile does not hurry them.
    Nanos m_byteTime{0};
    // When the queue was first seen empty after the last write, and what the FIFO held then.
    std::optional<Nanos> m_emptySince;
    std::size_t m_inFifo = 0;
};

}  // namespace flashupdate
