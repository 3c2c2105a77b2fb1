#include "lock_keys.h"

#include <QGuiApplication>
#include <QTimer>
#include <array>

// After Qt: Xlib's macros (None, Bool, Status) would clash with Qt's names.
#include <X11/XKBlib.h>

namespace station {

bool FollowLockKeys(QObject& owner, std::function<void(bool, bool, bool)> show) {
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    Display* display = x11 ? x11->display() : nullptr;
    if (display == nullptr) return false;
    std::array<Atom, 3> names{};
    const char* const indicators[] = {"Caps Lock", "Num Lock", "Scroll Lock"};
    for (size_t i = 0; i < names.size(); ++i)
        names[i] = XInternAtom(display, indicators[i], False);
    // The server is asked four times a second: a lock key changed in another window shows
    // here too. -1: not shown yet.
    auto shown = std::make_shared<int>(-1);
    const auto read = [display, names, shown, show = std::move(show)] {
        int state = 0;
        for (size_t i = 0; i < names.size(); ++i) {
            Bool on = False;
            if (names[i] != 0 &&
                XkbGetNamedIndicator(display, names[i], nullptr, &on, nullptr, nullptr) && on)
                state |= 1 << i;
        }
        if (state == *shown) return;
        *shown = state;
        show((state & 1) != 0, (state & 2) != 0, (state & 4) != 0);
    };
    read();
    auto* timer = new QTimer(&owner);
    QObject::connect(timer, &QTimer::timeout, &owner, read);
    timer->start(250);
    return true;
}

}  // namespace station
