// The one exception of the serial layer: what failed with a port, in words for whoever debugs
// the line, and its kind (one of the port's kinds of failure), for the decisions.
#pragma once

#include <string>

#include "common/failure.h"

namespace flashupdate {

// The kinds of failure a port has (FailureKind's Port to TlsServer): the
// diagnostics, the causes and the remedies follow from the kind, never from the words.
using PortErrorKind = FailureKind;

class SerialError : public Failure {
public:
    explicit SerialError(const std::string& what, PortErrorKind kind = PortErrorKind::Port)
        : Failure(what, kind) {}
};

}  // namespace flashupdate
