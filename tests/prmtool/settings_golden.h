#pragma once

#include <QByteArray>

// The monitor's side of a settings read: the echo 0xAA and a good 31-byte user block
// (Sv/hr, vibrator, buzzer and key beep on, contrast 5/30, discriminators 1780/1684,
// alarm 5.0 sigma and 3 cnt, danger 10/10, 23.50 C, 2.95 V, serial "3200", version "1702",
// clock 26-12-08 21:30:05; check byte 0x0C).
inline QByteArray goldenUserBlock() {
    static const unsigned char block[31] = {0x4B, 0x05, 0x1E, 0x19, 0xF4, 0x06, 0x94, 0x06,
                                            0x32, 0x03, 0x0A, 0x0A, 0x2E, 0x09, 0x27, 0x01,
                                            0x33, 0x32, 0x30, 0x30, 0x31, 0x37, 0x30, 0x32,
                                            0x1A, 0x0C, 0x08, 0x15, 0x1E, 0x05, 0x0C};
    return QByteArray(reinterpret_cast<const char*>(block), sizeof block);
}

inline QByteArray echoed(const QByteArray& data) {
    return QByteArray(1, char(0xAA)) + data;
}
