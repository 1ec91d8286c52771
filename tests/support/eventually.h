// Waiting for something another thread or process does, with a generous
// limit so that a slow machine fails no test.
#pragma once

#include <chrono>
#include <thread>

template <typename F>
bool Eventually(F condition, int seconds = 30) {
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}
