#pragma once

// A screen fed with bytes from the line as the data-in worker feeds it, without a port or a
// thread: every byte goes through the link's state machine and each complete unit is handed
// to the owning screen's reply handler at once.

#include <QCoreApplication>
#include <cstddef>
#include <cstdint>

#include "link.h"
#include "reply_machine.h"

namespace prm {

// The screens' timers and objects need an application object; one for the whole run.
inline void ensureApplication() {
    static int argc = 1;
    static char name[] = "fuzz";
    static char* argv[] = {name, nullptr};
    static QCoreApplication* app = new QCoreApplication(argc, argv);
    (void)app;
}

inline void feedLine(Link& link, const uint8_t* data, size_t size) {
    for (size_t i = 0; i < size; ++i) {
        ReplyOwner owner = ReplyOwner::None;
        {
            auto guard = link.lock();
            owner = processByte(link.state(), data[i]);
            if (link.state().receivedCount < 0 || link.state().receivedCount > kReplyDataSize)
                __builtin_trap();
        }
        if (owner != ReplyOwner::None) link.runReplyHandlerFromTimer(owner);
    }
}

}  // namespace prm
