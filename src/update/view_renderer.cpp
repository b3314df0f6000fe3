#include "update/view_renderer.h"

#include "update/number_text.h"
#include "update/texts.h"

namespace flashupdate {

int chosenPort(const UpdateView& view) {
    for (int port = 1; port <= 3; ++port) {
        if (view.comOptionSelected(port)) {
            return port;
        }
    }
    // Com4's own button is never asked: with no button selected, Com4 is used.
    return 4;
}

void ViewRenderer::beginRun() {
    m_sizeText.clear();
    for (const Label label :
         {Label::lblCheckSum1, Label::lblCheckSum2, Label::lblCheckSum3, Label::lblCheckSum4,
          Label::lblBytesTransmitted, Label::lblFileSize}) {
        m_view.setLabelVisible(label, false);
    }
    m_view.setLabelCaption(Label::lblBytesT, "");
    m_view.setLabelCaption(Label::lblFileB, "");
}

void ViewRenderer::status(const char* text) {
    m_view.setLabelCaption(Label::lblStatus, text);
}

void ViewRenderer::render(const RunEvent& event, const UpdateResult& run,
                          std::uint32_t fileCheckSum) {
    using Kind = RunEvent::Kind;
    switch (event.kind) {
        case Kind::StageEntered:
            if (run.stage == UpdateResult::Stage::Program) {
                status(texts::kSendingProgram);
            }
            m_view.progress(Progress::StageEntered, run);
            if (run.stage == UpdateResult::Stage::Erase) {
                status(texts::kEraseCommandSent);
            } else if (run.stage == UpdateResult::Stage::Program) {
                for (const Label label : {Label::lblBytesTransmitted, Label::lblFileSize,
                                          Label::lblBytesT, Label::lblFileB}) {
                    m_view.setLabelVisible(label, true);
                }
            }
            break;
        case Kind::SendingBootLoader:
            m_view.setLabelVisible(Label::lblStatus, true);
            status(texts::kSendingBootLoader);
            break;
        case Kind::MemoryErased:
            m_view.progress(Progress::MemoryErased, run);
            status(texts::kMemoryErased);
            break;
        case Kind::BytesSent:
            m_view.setLabelCaption(Label::lblBytesT, numberText(event.count));
            m_view.setLabelCaption(Label::lblFileB, m_sizeText);
            m_view.progress(Progress::BytesSent, run);
            break;
        case Kind::RequestingCheckSum:
            status(texts::kRequestingCheckSum);
            break;
        case Kind::Diagnostic:
            m_view.diagnostic(event.text);
            break;
        case Kind::Failed:
            m_view.showMessage(event.text, MessageIcon::None);
            break;
        case Kind::EraseFailed:
            status(texts::kFlashNotUpdated);
            m_view.showMessage(event.text, MessageIcon::Exclamation);
            // The second attempt's silence says it again once the box is down.
            if (event.noAnswer) {
                status(texts::kFlashNotUpdated);
            }
            break;
        case Kind::ChecksumMissing:
            status(texts::kCheckSumNotReceived);
            m_view.showMessage(event.text, MessageIcon::Exclamation);
            break;
        case Kind::Verdict:
            renderVerdict(event, run, fileCheckSum);
            break;
    }
}

void ViewRenderer::renderVerdict(const RunEvent& event, const UpdateResult& outcome,
                                 std::uint32_t fileCheckSum) {
    status(texts::kDone);
    for (const Label label :
         {Label::lblCheckSum1, Label::lblCheckSum2, Label::lblCheckSum3, Label::lblCheckSum4}) {
        m_view.setLabelVisible(label, true);
    }
    m_view.setLabelCaption(Label::lblCheckSum3, hexText(fileCheckSum));
    m_view.setLabelCaption(Label::lblCheckSum4, hexText(outcome.deviceCheckSum.value_or(0)));
    // The run is done once the sums are shown, whatever they say; the outcome follows.
    UpdateResult done = outcome;
    done.stage = UpdateResult::Stage::Done;
    done.cause = UpdateResult::Cause::None;
    done.reason.clear();
    m_view.progress(Progress::StageEntered, done);
    if (outcome.cause == UpdateResult::Cause::None) {
        status(texts::kUpdatedSuccessfully);
        return;
    }
    status(texts::kNotUpdatedSuccessfully);
    m_view.showMessage(event.text, MessageIcon::None);
}

}  // namespace flashupdate
