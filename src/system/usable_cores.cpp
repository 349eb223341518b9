#include "system/usable_cores.hpp"

#include <thread>

bool usable_core_set(cpu_set_t& cores) {
    CPU_ZERO(&cores);
    return sched_getaffinity(0, sizeof(cores), &cores) == 0 && CPU_COUNT(&cores) > 0;
}

int usable_cores() {
    cpu_set_t cores;
    if (usable_core_set(cores)) {
        return CPU_COUNT(&cores);
    }
    const unsigned int counted = std::thread::hardware_concurrency();
    return counted > 0 ? static_cast<int>(counted) : 1;
}
