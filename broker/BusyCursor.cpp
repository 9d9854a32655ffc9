#include "BusyCursor.h"

namespace {
std::function<void(bool)>& Hook() {
    static std::function<void(bool)> hook;
    return hook;
}
int g_depth = 0;
} // namespace

void SetBusyCursorHook(std::function<void(bool busy)> hook) {
    Hook() = std::move(hook);
}

TBusyCursor::TBusyCursor() {
    if (g_depth++ == 0 && Hook())
        Hook()(true);
}

TBusyCursor::~TBusyCursor() {
    Restore();
}

void TBusyCursor::Restore() {
    if (!active_)
        return;
    active_ = false;
    if (--g_depth == 0 && Hook())
        Hook()(false);
}
