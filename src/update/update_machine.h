// The update as a state machine that does no I/O and never waits. A front end feeds it what
// happens (a start, the time now, a receive event, the line drained, an action that failed, a
// box closed, a stop) and carries out what comes out of poll(): port actions in order, and the
// facts of the run as events, until nothing is left; then it waits, its own way, until
// nextDeadline() or the next input. The window drives it from Qt's loop, the command line every
// port from one loop, the tests on virtual time.
//
// Usage, one pass of a driver's loop:
//     while (auto output = machine.poll(now)) {
//         if (auto* action = std::get_if<PortAction>(&*output)) {
//             try { carryOut(*action); } catch (const SerialError& e) { machine.actionFailed(e,
//             now); }
//         } else { render(std::get<RunEvent>(*output)); }
//     }
//     wait until machine.nextDeadline(), a receive event, the drain asked for, or a stop.
// An action is carried out, or reported failed, before the next poll(): the machine takes an
// action as done once poll() is called again.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "serial/line_port.h"
#include "serial/serial_error.h"
#include "update/protocol.h"
#include "update/update_result.h"

namespace flashupdate {

// What a run needs, read before it starts: the machine reads no file.
struct RunInputs {
    // Com1 to Com4.
    int commPort = 4;
    // The sync byte and the boot loader's first 511 bytes, as they go on the line.
    std::array<unsigned char, 1 + protocol::kBootLoaderBytes> bootLoader{};
    std::vector<unsigned char> image;
    // The image as the run named it, for the message of a failed transfer.
    std::string imagePath;
};

// A run refused before it starts, with the box that says so. detail is the system's reason
// behind it, for whoever debugs; empty when the message is the whole story.
struct Refusal {
    UpdateResult::Cause cause = UpdateResult::Cause::File;
    std::string message;
    std::string detail;
    std::string imagePath;
    std::uint64_t bytesAnnounced = 0;
};

// Something to do to the port. Each opening gets the same set-up first, so that nothing is
// inherited from the line's last user.
struct PortAction {
    enum class Kind {
        SetUp,       // settings; InputLen 0, RThreshold 1, SThreshold 1, RTS off; both queues empty
        SelectPort,  // CommPort: which port the next opening uses
        Open,        // opens the port unless it is open (one an earlier run left open is used)
        Close,       // lets the port go once what was written has left
        Write,       // hands bytes to the port, in order
        PurgeInput,  // discards what was received and not yet read
        PurgeOutput,  // discards what was written and has not yet left
        Drain,        // drained() once the line has carried every byte written; no time limit
    };
    explicit PortAction(Kind what) : kind(what) {}

    Kind kind;
    std::string settings;  // SetUp
    int commPort = 0;      // SelectPort
    ByteText bytes;        // Write
};

// A fact of the run. The run's own account (result()) is up to date when an event comes out.
struct RunEvent {
    enum class Kind {
        StageEntered,        // result().stage has just changed
        SendingBootLoader,   // the port is open at 1200 baud and the boot loader goes out now
        MemoryErased,        // the instrument has answered the erase command
        BytesSent,           // count data bytes have been handed to the line (every 2048)
        RequestingCheckSum,  // the checksum request goes out now
        Diagnostic,          // text: for whoever debugs the line; fails nothing
        // Endings that the operator must acknowledge (acknowledge()) before the run goes on:
        Failed,           // text: the message; a refusal before the stages, or a step that failed
        EraseFailed,      // text: the message; noAnswer tells which way the second attempt failed
        ChecksumMissing,  // text: the message; no answer of four bytes in the reply window
        Verdict,          // both sums are known: result() has them; acknowledged when they differ
    };
    explicit RunEvent(Kind what, std::string saying = {}) : kind(what), text(std::move(saying)) {}

    Kind kind;
    std::string text;
    std::uint64_t count = 0;
    bool noAnswer = false;
    // The run waits for acknowledge() after this event.
    bool awaitsAcknowledgement = false;
};

using RunOutput = std::variant<PortAction, RunEvent>;

class UpdateMachine {
public:
    using Nanos = std::chrono::nanoseconds;

    // Inputs. now is the driver's monotonic clock; the machine has none of its own.
    void start(RunInputs inputs, Nanos now);
    // A run that ends before it starts, with its message.
    void refuse(const Refusal& refusal);
    // One receive event: RxData is replaced by what it brought.
    void received(const ByteText& chunk, Nanos now);
    // Time has passed: call it at nextDeadline() (or later).
    void handleTimeout(Nanos now);
    // The line has carried every byte written, as the Drain action asked.
    void drained(Nanos now);
    // The bytes the port takes from now on without holding the caller; unlimited by default, for
    // a port whose writes hold until there is room.
    void setRoom(std::size_t bytes) { m_room = bytes; }
    // The last action polled failed; the run ends as the step it belongs to fails.
    void actionFailed(const SerialError& error, Nanos now);
    // The line has gone away (a cable pulled): a reply window that closes now closes for that.
    void lineLost(PortErrorKind kind);
    // The operator has closed the box of the last event.
    void acknowledge(Nanos now);
    // Nothing more may reach the instrument: what is queued is discarded and the port let go.
    void stop(Nanos now);

    // Outputs. now is when the actions polled before have been carried out and the events
    // rendered: the pauses after them count from here.
    std::optional<RunOutput> poll(Nanos now);
    // When handleTimeout() is due; none while the run waits only for an input.
    std::optional<Nanos> nextDeadline() const;
    // poll() has something, or would make something (room to write).
    bool hasOutput() const;
    // The run waits for drained().
    bool awaitingDrain() const {
        return m_step == Step::BootDraining || m_step == Step::ProgramDraining;
    }
    bool awaitingAcknowledgement() const { return m_step == Step::AwaitingAcknowledgement; }
    // The run has records to write and waits for the port to have room (setRoom above 0).
    bool awaitingRoom() const { return m_step == Step::Program && m_queue.empty() && m_room == 0; }
    bool running() const { return m_step != Step::Idle; }
    const UpdateResult& result() const { return m_result; }
    const ByteText& RxData() const { return m_rxData; }

    // The exact sum of the program data bytes of the last transfer.
    std::uint32_t FileCheckSum = 0;

private:
    enum class Step {
        Idle,
        BootFirstHalf,         // Timer1: the second half follows 1000 ms after the first
        BootDraining,          // the loader must be on the line before the speed changes
        BootSettling,          // Timer1: the loader starts up
        BootAfterReopen,       // Timer1: the loader is ready at 9600 baud
        EraseAfterCommand,     // Timer1: before the reply window opens
        EraseWindow,           // Timer1 polls every 100 ms until Timer3 closes the window
        EraseAfterAnswer,      // Timer1: the rest of the answer arrives
        Program,               // writing the records as room allows
        ProgramDraining,       // the last record must be on the line before the pause counts
        ChecksumPause,         // Timer1: the instrument writes its last record
        ChecksumAfterCommand,  // Timer1: before the reply window opens
        ChecksumWindow,        // until four bytes arrive in one chunk or Timer3 closes the window
        AwaitingAcknowledgement,
        AfterFailureClose,  // Timer1: the port settles after closing on a failure
        Ending,             // the outputs queued are the last
    };
    // What follows the acknowledgement of a box.
    enum class AfterBox { End, CloseAndEnd, CloseAndPause };
    // Where a failure of an action sends the run: the message of the step in force.
    enum class Region { None, Port, Transfer, Checksum, AfterAnswer };

    // Bookkeeping that takes effect when poll() comes to it: once the actions and events before
    // it have been carried out (a pause counts from the end of the write before it, a write's
    // bytes count once it has been taken). A failed action drops what was queued after it.
    using Marker = std::function<void(Nanos now)>;
    using Queued = std::variant<PortAction, RunEvent, Marker>;

    void push(PortAction::Kind kind);
    void push(PortAction action) { m_queue.emplace_back(std::move(action)); }
    void push(RunEvent event) { m_queue.emplace_back(std::move(event)); }
    void then(Marker marker) { m_queue.emplace_back(std::move(marker)); }
    void write(ByteText bytes);
    void clearRxData();
    void setUpLine(const char* settings);
    void enter(UpdateResult::Stage stage);
    // Timer1: the pause of timer_delay, counted from when the queue has come this far.
    void delay(Step next, int milliseconds);
    // The event's box must be closed before the run goes on as after says.
    void box(RunEvent event, AfterBox after);
    void fail(const std::string& message, const std::string& reason, UpdateResult::Cause cause,
              std::optional<PortErrorKind> portError);

    void queueVerdict(bool equal);
    void eraseAttempt();
    void eraseAttemptFailed(bool noAnswer);
    void beginTransfer();
    void queueProgramWrites();
    void endTransfer();
    void requestChecksum();
    void checksumWindowExpired();
    void checksumAnswered();
    UpdateResult::Cause noAnswerCause() const;
    bool recordMayBeCut() const;

    Step m_step = Step::Idle;
    AfterBox m_afterBox = AfterBox::End;
    Region m_region = Region::None;
    std::deque<Queued> m_queue;
    // The kind of the action polled last: the one actionFailed() is about.
    PortAction::Kind m_lastAction = PortAction::Kind::SetUp;
    UpdateResult m_result;
    RunInputs m_inputs;
    ByteText m_rxData;
    std::optional<Nanos> m_timer1Due;
    std::optional<Nanos> m_timer3Due;
    bool m_eraseRepeated = false;
    bool m_lineLost = false;
    PortErrorKind m_lostKind = PortErrorKind::Gone;
    std::size_t m_room = SIZE_MAX;
    // The transfer: the record being written, and how far into it.
    std::size_t m_record = 0;
    std::size_t m_records = 0;
    enum class RecordPart { Command, BlockNumber, Data } m_part = RecordPart::Command;
    std::size_t m_inRecord = 0;
    int m_blockNumber = protocol::kFirstBlockNumber;
    // Data bytes queued so far, and their sum (FileCheckSum counts those carried out).
    std::uint64_t m_queuedData = 0;
};

}  // namespace flashupdate
