// libFuzzer harness over the packet locator: every input is a scripted demuxer
// (locator_script.hpp says how bytes become one and which promises are checked). The seeds
// are the native tests' scripts (packet_locator_test --write-seeds).

#include <cstdio>
#include <cstdlib>

#include "locator_script.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const ScriptOutcome outcome = run(parse(data, size));
    if (!outcome.broken_promise.empty()) {
        std::fprintf(stderr, "rule broken: %s\n", outcome.broken_promise.c_str());
        std::abort();
    }
    return 0;
}
