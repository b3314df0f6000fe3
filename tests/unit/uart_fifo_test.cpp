// How long closing waits for a UART's FIFO, which no queue count includes.
#include <gtest/gtest.h>

#include "serial/uart_fifo.h"

namespace flashupdate {
namespace {

using namespace std::chrono_literals;
constexpr UartFifo::Nanos k9600 = 1'041'667ns, k1200 = 8'333'333ns;

// Bytes written at 0 ms (at 1200 baud, then at 9600 at written2At), the queue seen empty at
// emptyAt (and again after the second write at 1 ms more), closing at closeAt.
struct FifoCase {
    std::size_t written, written2;
    std::chrono::milliseconds written2At, emptyAt, closeAt;
    UartFifo::Nanos wait;
};

TEST(UartFifo, ClosingWaitsOnlyForWhatTheFifoMayStillHold) {
    for (const FifoCase& c : std::vector<FifoCase>{
             {0, 0, 0ms, 0ms, 0ms, 0ns},
             {1, 0, 0ms, 5ms, 5ms, k1200},
             {3, 0, 0ms, 10ms, 12ms, 3 * k1200 - 2ms},
             // The boot loader: a full FIFO, then the 2 s pause before the speed changes.
             {511, 0, 0ms, 4260ms, 4260ms, 16 * k1200},
             {511, 0, 0ms, 4260ms, 6260ms, 0ns},
             // What may still be in the FIFO stays ahead of the next bytes, at its own speed.
             {2, 1, 10ms, 10ms, 11ms, 3 * k1200},
             {2, 1, 500ms, 10ms, 501ms, k9600}}) {
        SCOPED_TRACE(::testing::Message() << c.written << " then " << c.written2 << " at "
                                          << c.written2At.count() << " ms");
        UartFifo fifo(16);
        fifo.wrote(c.written, k1200, 0ms);
        fifo.queueSeen(c.written > 0 ? 1 : 0, 1ms);
        fifo.queueSeen(0, c.emptyAt);
        if (c.written2 > 0) {
            // Seen empty again before, which does not move when the FIFO began to empty.
            fifo.queueSeen(0, c.written2At);
            fifo.wrote(c.written2, k9600, c.written2At);
            fifo.queueSeen(0, c.written2At + 1ms);
        }
        EXPECT_EQ(fifo.emptyIn(c.closeAt), c.wait);
    }
}

}  // namespace
}  // namespace flashupdate
