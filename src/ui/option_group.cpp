#include "ui/option_group.h"

#include <QRadioButton>
#include <algorithm>
#include <memory>
#include <vector>

namespace flashupdate {

namespace {

void updateTabStops(const std::vector<QRadioButton*>& buttons) {
    const auto selected = std::find_if(buttons.begin(), buttons.end(),
                                       [](const QRadioButton* b) { return b->isChecked(); });
    // With none selected the group still needs one way in: its first button.
    const QRadioButton* const stop = selected != buttons.end() ? *selected : buttons.front();
    for (QRadioButton* const button : buttons) {
        button->setFocusPolicy(button == stop ? Qt::StrongFocus : Qt::ClickFocus);
    }
}

}  // namespace

void makeOneTabStop(std::span<QRadioButton* const> buttons) {
    if (buttons.empty()) {
        return;
    }
    const std::vector<QRadioButton*> group(buttons.begin(), buttons.end());
    for (QRadioButton* const button : group) {
        QObject::connect(button, &QRadioButton::toggled, button,
                         [group] { updateTabStops(group); });
    }
    updateTabStops(group);
}

}  // namespace flashupdate
