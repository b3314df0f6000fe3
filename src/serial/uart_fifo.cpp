#include "serial/uart_fifo.h"

#include <algorithm>

namespace flashupdate {

void UartFifo::wrote(std::size_t bytes, Nanos byteTime, Nanos now) {
    if (bytes == 0) {
        return;
    }
    // What the FIFO may still hold from before stays ahead of the new bytes.
    std::size_t before = m_unsettled;
    if (m_emptySince) {
        before = emptyIn(now) > Nanos(0) ? m_inFifo : 0;
    }
    m_unsettled = std::min(m_capacity, before + bytes);
    m_byteTime = before == 0 ? byteTime : std::max(m_byteTime, byteTime);
    m_emptySince.reset();
    m_inFifo = 0;
}

void UartFifo::queueSeen(std::size_t queued, Nanos now) {
    if (queued > 0) {
        if (m_emptySince) {
            m_unsettled = std::min(m_capacity, m_unsettled + m_inFifo);
            m_emptySince.reset();
            m_inFifo = 0;
        }
        return;
    }
    if (!m_emptySince) {
        m_emptySince = now;
        m_inFifo = m_unsettled;
        m_unsettled = 0;
    }
}

UartFifo::Nanos UartFifo::emptyIn(Nanos now) const {
    if (!m_emptySince || m_inFifo == 0) {
        return Nanos(0);
    }
    const Nanos emptyAt = *m_emptySince + m_byteTime * static_cast<Nanos::rep>(m_inFifo);
    return std::max(Nanos(0), emptyAt - now);
}

}  // namespace flashupdate
