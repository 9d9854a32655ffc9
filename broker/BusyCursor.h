#pragma once

// The busy pointer while a broker operation runs. The console sets the hook to its override
// cursor; nested guards show the pointer once and restore it when the outermost one ends.

#include <functional>

void SetBusyCursorHook(std::function<void(bool busy)> hook);

class TBusyCursor final {
public:
    TBusyCursor();
    ~TBusyCursor();
    TBusyCursor(const TBusyCursor&) = delete;
    TBusyCursor& operator=(const TBusyCursor&) = delete;
    // Restores the pointer before the guard ends (idempotent).
    void Restore();

private:
    bool active_ = true;
};
