#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <QByteArray>
#include <QString>

#include "qt_wait.h"

// The far end of a pseudo-terminal, scripted by a test: it sees every byte the program
// writes and answers with bytes of its choosing.
class PtyPeer {
  public:
    PtyPeer() {
        char name[256] = {};
        termios raw{};
        cfmakeraw(&raw);
        if (openpty(&master_, &slave_, name, &raw, nullptr) == 0) {
            device_ = QString::fromLocal8Bit(name);
            fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
        }
    }
    ~PtyPeer() {
        if (slave_ >= 0) ::close(slave_);
        if (master_ >= 0) ::close(master_);
    }
    PtyPeer(const PtyPeer&) = delete;
    PtyPeer& operator=(const PtyPeer&) = delete;

    bool ok() const { return master_ >= 0; }
    QString device() const { return device_; }

    void send(const QByteArray& bytes) {
        ssize_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(master_, bytes.constData() + done, bytes.size() - done);
            if (n > 0) {
                done += n;
            } else {
                // The line is full: let the program read it.
                QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
            }
        }
    }
    // Everything the program has written so far.
    QByteArray received() {
        char buffer[512];
        for (;;) {
            const ssize_t n = ::read(master_, buffer, sizeof buffer);
            if (n <= 0) break;
            received_.append(buffer, n);
        }
        return received_;
    }
    // Waits (processing events) until at least n bytes have come; returns them and forgets
    // them.
    QByteArray take(int n, int limitMs = 3000) {
        waitUntil([&] { return received().size() >= n; }, limitMs);
        const QByteArray head = received_.left(n);
        received_.remove(0, head.size());
        return head;
    }
    void closeMaster() {
        if (slave_ >= 0) ::close(slave_);
        slave_ = -1;
        ::close(master_);
        master_ = -1;
    }

  private:
    int master_ = -1;
    int slave_ = -1;  // held open so the line stays up while the program reopens its end
    QString device_;
    QByteArray received_;
};
