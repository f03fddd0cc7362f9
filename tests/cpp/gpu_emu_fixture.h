#pragma once
// Shared set-up of the tests that run the GPU host code on the platform
// emulation: every test starts from a freshly reset emulated machine.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "gpu/emulation/emu_control.h"

namespace norvi::test {

class EmulatedPlatform : public ::testing::Test {
public:
    void SetUp() override { norvi_emu_reset(); }

    // The emulation's call trace, one call per entry.
    static std::vector<std::string> trace() {
        std::vector<std::string> lines;
        std::string text = norvi_emu_trace();
        std::size_t start = 0;
        for (std::size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
            lines.push_back(text.substr(start, nl - start));
        return lines;
    }
};

// Runs `f`, which must throw std::runtime_error, and returns its message.
template <typename F>
std::string runtime_error_of(F&& f) {
    try {
        f();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    ADD_FAILURE() << "expected std::runtime_error";
    return std::string();
}

}  // namespace norvi::test
