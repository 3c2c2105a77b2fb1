// libFuzzer target: the file transfer dialog's logic fed with any protocol events. The input
// is a list of events: kind (0 a frame, 1 a status, 2 raw text, 3 the user's Abort, 4 the
// line lost), the command (2 bytes), a length byte and the event's data; a status event takes
// its code from the first two data bytes. Whatever the unit sends, a transfer that ended Ok
// saved its file, and one that failed says why.
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "file_trans_controller.h"
#include "xlnk_protocol.h"

using namespace station;

namespace {

void require(bool ok) {
    if (!ok) __builtin_trap();
}

const std::filesystem::path& Folder() {
    static const std::filesystem::path dir = [] {
        auto d =
            std::filesystem::temp_directory_path() / ("transfer_fuzz_" + std::to_string(getpid()));
        std::filesystem::create_directories(d);
        return d;
    }();
    return dir;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    XLNKProtocol protocol;  // never opened: what it is asked to send is refused
    protocol.SetWorkFolder(Folder());
    std::ofstream(protocol.ReceivedFilePath()) << "file";
    std::filesystem::remove(Folder() / "saved");
    FileTransferController ctl(&protocol, [](int, std::function<void()> fn) { fn(); });
    ctl.fileName = "alarmfi.418";
    ctl.saveAs = (Folder() / "saved").string();
    ctl.autoStart = size % 2;
    ctl.OnOpen();
    // The dialog closes once the outcome is decided: nothing reaches it after that.
    for (size_t pos = 0;
         pos + 4 <= size && ctl.outcome() == FileTransferController::Outcome::Running;) {
        ProtocolEvent e;
        const uint8_t kind = data[pos];
        e.command = GetU16(data + pos + 1);
        const size_t length = std::min<size_t>(data[pos + 3], size - pos - 4);
        e.data.assign(data + pos + 4, data + pos + 4 + length);
        e.length = static_cast<uint16_t>(length);
        pos += 4 + length;
        if (kind % 5 == 1) e.status = length >= 2 ? GetU16(e.data.data()) : XLNK_ERR_TIMEOUT;
        if (kind % 5 == 2) e.command = kNoFrameCommand;
        e.data.push_back(0);
        if (kind % 5 == 3)
            ctl.Abort();
        else if (kind % 5 == 4)
            ctl.End("line lost");
        else
            ctl.OnEvent(e);
        if (ctl.outcome() == FileTransferController::Outcome::Ok)
            require(ctl.saveError().empty() && ctl.failure().empty() && !ctl.ending() &&
                    std::filesystem::exists(ctl.saveAs));
        if (ctl.outcome() == FileTransferController::Outcome::Cancel)
            require(!ctl.failure().empty() || ctl.failedStatus() != 0);
    }
    return 0;
}
