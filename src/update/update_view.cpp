#include "update/update_view.h"

#include <iostream>

namespace flashupdate {

void UpdateView::progress(Progress, const UpdateResult&) {}

void UpdateView::diagnostic(const std::string& text) {
    std::cerr << "flashupdate: " << text << std::endl;
}

}  // namespace flashupdate
