// How a run's events become the window's captions, labels and boxes: the one place that knows
// which caption, which label and which box each fact of a run shows as. A front end that drives
// the update machine (or a session over it) hands each event here with the run's account as the
// machine has it at that moment.
//
// Rendering never waits. A box is shown through UpdateView::showMessage(); the run goes on only
// once whoever drives it has acknowledged the event (RunEvent::awaitsAcknowledgement), which a
// view whose box holds the caller does as soon as the call returns, and a view whose box does not
// hold it does when the operator closes it.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "update/update_machine.h"
#include "update/update_result.h"
#include "update/update_view.h"

namespace flashupdate {

// The port the operator chose: Com1 to Com3 by their buttons, otherwise Com4.
int chosenPort(const UpdateView& view);

class ViewRenderer {
public:
    explicit ViewRenderer(UpdateView& view) : m_view(view) {}

    // Before the run reads its files: the last run's sums and counts go, so that nothing the
    // window shows belongs to another run. The status line stays as it was.
    void beginRun();
    // lblFileB's text for the run's image, once the run has read it (" 512").
    void setSizeText(std::string sizeText) { m_sizeText = std::move(sizeText); }
    // One event of the run; run is the machine's account now and fileCheckSum its FileCheckSum.
    void render(const RunEvent& event, const UpdateResult& run, std::uint32_t fileCheckSum);

private:
    void status(const char* text);
    void renderVerdict(const RunEvent& event, const UpdateResult& outcome,
                       std::uint32_t fileCheckSum);

    UpdateView& m_view;
    std::string m_sizeText;
};

}  // namespace flashupdate
