// The settings editor's reply handler on any bytes: the read blocks of "X" and "J", the
// echoes and status bytes of the writes "K" and "Q", and the fields typed between them. The
// input is a list of steps: an action (0 Display Default, 1 Display User, 2 Save User, 3 Save
// Default/User, 4 a field typed: its index and text in the step's bytes, 5 the screen's timer
// running out), a length byte and the line's bytes that follow the action.

#include <cstddef>
#include <cstdint>

#include "screen_feed.h"
#include "settings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    prm::ensureApplication();
    prm::Link& link = prm::feedLink();
    prm::SettingsController ctl(link);
    ctl.setPcClock([] { return QDateTime(QDate(2026, 12, 10), QTime(7, 30, 5)); });
    ctl.activate(false);
    for (size_t pos = 0; pos + 2 <= size;) {
        const uint8_t action = data[pos] % 6;
        const size_t length = std::min<size_t>(data[pos + 1], size - pos - 2);
        const uint8_t* bytes = data + pos + 2;
        pos += 2 + length;
        switch (action) {
            case 0:
                ctl.displayDefaultSettings();
                break;
            case 1:
                ctl.displayUserSettings();
                break;
            case 2:
                ctl.saveUserSettings();
                break;
            case 3:
                ctl.saveDefaultAndUser();
                break;
            case 4:
                if (length > 0) {
                    const auto field = static_cast<prm::Field>(bytes[0] % prm::kFieldCount);
                    ctl.setFieldText(field,
                                     QString::fromLatin1(reinterpret_cast<const char*>(bytes + 1),
                                                         static_cast<qsizetype>(length - 1)));
                    ctl.leaveField(field);
                }
                continue;
            default:
                link.runReplyHandlerFromTimer(prm::ReplyOwner::Settings);
                continue;
        }
        prm::feedLine(link, bytes, length);
    }
    ctl.mainMenu();
    return 0;
}
