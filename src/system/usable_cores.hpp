#pragma once

#include <sched.h>

// The processors this process may run on: its affinity mask, which a container's cpuset or
// taskset narrows, rather than every processor of the machine. Fills `cores` and returns
// true where the system tells it.
bool usable_core_set(cpu_set_t& cores);

// How many processors that is, at least 1: where the mask cannot be read, the processors
// the standard library counts.
int usable_cores();
