// The records screen reading a record stream of any bytes: the echo, the header block, the
// records and the end block, written to the record file. The first input byte picks alarms
// or dose; the rest is the line.

#include <QDir>
#include <QTemporaryDir>
#include <cstddef>
#include <cstdint>

#include "records.h"
#include "screen_feed.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    prm::ensureApplication();
    static QTemporaryDir dir;  // the record files
    QDir::setCurrent(dir.path());

    prm::Link& link = prm::feedLink();
    prm::RecordsController ctl(link);
    ctl.activate();
    const bool alarms = (data[0] & 1) == 0;
    ctl.click(alarms ? prm::RecordsController::Button::ReadAlarms
                     : prm::RecordsController::Button::ReadDose);
    prm::feedLine(link, data + 1, size - 1);
    ctl.mainMenu();
    return 0;
}
