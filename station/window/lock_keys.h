// The keyboard's lock keys as the main frame's status bar shows them (CAP, NUM, SCRL).
#pragma once

#include <functional>

class QObject;

namespace station {

// Calls `show(caps, num, scroll)` with the lock state now and whenever it changes, for as
// long as `owner` lives. The state is read from the X server's keyboard indicators; without
// an X display (the offscreen platform, Wayland) nothing is called and the indicators stay
// as they are. Returns whether the state can be followed.
bool FollowLockKeys(QObject& owner, std::function<void(bool caps, bool num, bool scroll)> show);

}  // namespace station
