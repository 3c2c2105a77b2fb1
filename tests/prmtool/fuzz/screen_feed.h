#pragma once

// A screen fed with bytes from the line as the data-in worker feeds it, without a port or a
// thread: every byte goes through the link's state machine and each complete unit is handed
// to the owning screen's reply handler at once.

#include <fcntl.h>

#include <QCoreApplication>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

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

// One link for the whole run, its record new for every input. Its port is open on a
// pseudo-terminal that nobody reads: without an open port a screen reports the missing echo
// at once and takes no reply (opened once, as opening costs more than a run).
inline Link& feedLink() {
    static Link* link = [] {
        const int fd = ::posix_openpt(O_RDWR | O_NOCTTY);  // kept open for the whole run
        if (fd < 0 || ::grantpt(fd) != 0 || ::unlockpt(fd) != 0) __builtin_trap();
        auto* l = new Link;
        l->port().setDevice(QString::fromLocal8Bit(::ptsname(fd)));
        if (!l->port().open()) __builtin_trap();
        return l;
    }();
    auto guard = link->lock();
    link->state() = LinkState{};
    return *link;
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
