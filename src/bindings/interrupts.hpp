#pragma once

#include <pybind11/pybind11.h>

#include "batch/interruption.hpp"

namespace py = pybind11;

// For a batch that runs with the GIL released: Ctrl-C (any signal whose Python handler
// raises) ends it within kInterruptPollMilliseconds with the handler's exception, as Python
// code would have been interrupted. Python runs signal handlers on the main thread only; on
// other threads this asks nothing.
class PythonInterruptCheck : public InterruptCheck {
public:
    PythonInterruptCheck() : InterruptCheck(&check_signals) {}

private:
    static void check_signals() {
        const py::gil_scoped_acquire acquire;
        if (PyErr_CheckSignals() != 0) {
            throw py::error_already_set();
        }
    }
};
