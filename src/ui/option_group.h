// Makes a row of option buttons one stop for the Tab key, the selected one, as a group of option
// buttons has always behaved on the instrument's PCs; the arrow keys still move within the group.
#pragma once

#include <span>

class QRadioButton;

namespace flashupdate {

// The buttons must outlive nothing but themselves: the link is kept by their own signals.
void makeOneTabStop(std::span<QRadioButton* const> buttons);

}  // namespace flashupdate
