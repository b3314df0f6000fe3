// The four stages of an update, in the order the driver runs them. Each stage writes its progress
// into the window and talks to the instrument only through the serial link; a failure is thrown
// and turned into a message by the guarded region the driver has in force.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <span>
#include <string>

#include "update/image_file.h"
#include "update/protocol.h"
#include "update/serial_link.h"
#include "update/timers.h"
#include "update/update_result.h"
#include "update/update_view.h"

namespace flashupdate {

struct StageContext {
    UpdateView& view;
    SerialLink& link;
    Timers& timers;
    std::uint32_t& fileCheckSum;
    UpdateResult& result;

    SerialPort& port() { return link.comSerial; }
    void status(const std::string& text) { view.setLabelCaption(Label::lblStatus, text); }
    // The run moves on to the next stage; a front end that follows it is told.
    void enter(UpdateResult::Stage next) {
        result.stage = next;
        view.progress(Progress::StageEntered, result);
    }
    // The run ends here without a failure of any step: the instrument's answer decided it.
    void end(UpdateResult::Cause cause, const std::string& reason) {
        result.cause = cause;
        result.reason = reason;
    }
    void pumpOnce() { timers.events.pumpOnce(); }
    // One pass of a wait loop: sleeps until the next event when none is pending.
    void pumpWait() { timers.events.pumpWait(); }
    void delay(int milliseconds) { timers.timer_delay(milliseconds); }
    // Keeps the window live until the line has carried every byte written; no time limit.
    void waitUntilLineCarriedAll() {
        do {
            pumpWait();
        } while (port().outBufferCount() != 0);
    }
    // Why a reply window closed without the answer: the instrument's silence, unless the device
    // itself has gone away meanwhile, which is the port's fault and not the instrument's.
    UpdateResult::Cause noAnswerCause() {
        return port().portOpen() ? UpdateResult::Cause::NoAnswer : UpdateResult::Cause::Port;
    }
    // The reply window: Timer3 runs for 5000 ms while passes are made, each one pump (a sleeping
    // one when sleepBetween, else one that only handles what is pending), then a look at
    // whether the window has closed, then answered(). Returns true once answered() says the
    // answer is in, false when the window closed first.
    bool awaitReply(bool sleepBetween, const std::function<bool()>& answered) {
        Timer& replyTimer = *timers.Timer3;
        replyTimer.setInterval(protocol::kReplyWindowMs);
        replyTimer.setEnabled(true);
        for (;;) {
            if (sleepBetween) {
                pumpWait();
            } else {
                pumpOnce();
            }
            if (!replyTimer.enabled()) {
                return false;
            }
            if (answered()) {
                replyTimer.setEnabled(false);
                return true;
            }
        }
    }
};

// The port the operator chose: Com1 to Com3 by their buttons, otherwise Com4.
int chosenPort(const UpdateView& view);

// Loads the 512-byte boot loader at 1200 baud and leaves the port open at 9600 baud with both
// queues and RxData empty. Closes the boot loader file once it has been read.
void sendBootLoader(StageContext& stage, std::unique_ptr<ImageFile>& bootLoader);

// Erases the program memory, with one repetition. Returns false when the run has ended here
// (reported, port closed). On success it has also announced the transfer and zeroed the sum.
bool eraseMemory(StageContext& stage);

// Sends the image in program records, adding every data byte into the file checksum.
void sendProgram(StageContext& stage, std::span<const unsigned char> image,
                 const std::string& sizeText);

// Asks for the instrument's checksum, finishes the session and gives the verdict.
void verifyChecksum(StageContext& stage);

}  // namespace flashupdate
