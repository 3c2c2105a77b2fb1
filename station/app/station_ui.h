// What the station document shows and asks, behind one small interface: the window program
// implements it with widgets, vm418ctl with the console. Everything here is called on the
// document's (window) thread.
#pragma once

#include <QByteArray>
#include <QString>
#include <functional>
#include <optional>

#include "protocol_event.h"
#include "serial.h"
#include "systems.h"

namespace station {

class FileTransferController;

// Menu commands of the station program.
enum StationCommand : int {
    ID_SELECT_SYSTEM = 32771,
    ID_VIEW_ALARMS = 32772,
    ID_VIEW_HISTORY = 32773,
    ID_VIEW_PARAMETERS = 32774,
    ID_CALL = 32778,
    ID_HANG_UP = 32779,
    ID_VIEW_DISCRIMINATOR = 32780,
    ID_GET_SPECIFIC_FILE = 32781,
    ID_OPEN_FILES = 32782,  // "Open files": the downloaded files of the folder imported
    ID_DOWNLOAD_LAST_ALARM = 32783,
    ID_DOWNLOAD_NEXT_ALARM = 32784,
    ID_DOWNLOAD_PREVIOUS_ALARM = 32785,
    ID_DOWNLOAD_ALARM_FILE = 32786,
    ID_DOWNLOAD_HISTORY = 32787,
    ID_DOWNLOAD_PARAMETERS = 32788,
    ID_WRITE_PARAMETERS = 32789,
    ID_DOWNLOAD_ALL = 32790,
    ID_ON_CONNECT = 32791,
    ID_DEFAULT_PARAMETERS = 32792,
    ID_STOP_MONITORING = 32793,
    ID_START_MONITORING = 32794,
    ID_COM_SETUP = 32795,  // "COM port and modem setup"
};

// Update hints the document sends to its views.
constexpr int HINT_PARAMETERS = 101;
constexpr int HINT_ALARMS = 201;
constexpr int HINT_HISTORY = 301;
constexpr int HINT_CONNECTION = 401;
constexpr int HINT_MONITORING = 0x40A1;

class StationUi {
  public:
    virtual ~StationUi() = default;

    // A message box the user acknowledges.
    virtual void MessageBox(const QString& text) = 0;
    // The main window's status bar: "Calling ...", "Connected", "Disconnected ...".
    virtual void SetStatusText(const QString& text) = 0;
    // The text of every event the document receives ("Error: Timeout command 0xC0A1 ",
    // "Command 0x40A1, len 84 ").
    virtual void EventText(const QString& /*text*/) {}
    // A command posted to the main window, handled later from the event loop (the window
    // program routes it to the document or opens a view; see CVM418Doc::OnCommand).
    virtual void PostCommand(int id) = 0;
    // The views learn what changed: `key` is the alarm of a single-alarm download, `frame`
    // the monitoring record of HINT_MONITORING.
    virtual void UpdateAllViews(int /*hint*/, int /*key*/, const QByteArray& /*frame*/) {}

    // The transfer dialog: shown while a transfer runs (compact for the document's downloads,
    // full size for "Get specific file", where the user gives the file and presses Start).
    // It renders the controller, and its "Abort" calls the controller's Abort.
    virtual void TransferOpened(FileTransferController& /*dialog*/) {}
    // `cause`: the protocol event the dialog was just given (null when it changed by itself).
    virtual void TransferChanged(const FileTransferController& /*dialog*/,
                                 const ProtocolEvent* /*cause*/) {}
    virtual void TransferClosed(const FileTransferController& /*dialog*/) {}
    // A download of the document has ended: its file received, read and stored, or
    // `failure` says why not ("" when it succeeded).
    virtual void DownloadEnded(const QString& /*caption*/, const QString& /*failure*/) {}

    // The serial settings dialog on the current port, line settings and modem
    // initialisation text; "Ok" changes `port` and `line`, any way of closing keeps the text
    // typed into `init`. Without a window nothing changes.
    virtual void EditSerialSettings(std::string& /*port*/, LineSettings& /*line*/,
                                    std::string& /*init*/) {}

    // The frames of the document's alarm, history and parameter views close (another
    // system is about to be chosen).
    virtual void CloseDataViews() {}

    // The systems dialog over the database: `chosen` gets the row on "Select", nothing on
    // any other way of closing.
    virtual void ChooseSystem(const QString& connectionText,
                              std::function<void(std::optional<vm418::CSystemRset>)> chosen) = 0;

    // The discriminator screen: true when one was opened; it hears the protocol's events
    // through DiscriminatorEvent while open and calls the document's
    // DiscriminatorScreenClosed when it closes.
    virtual bool OpenDiscriminatorScreen() { return false; }
    virtual void DiscriminatorEvent(const ProtocolEvent& /*event*/) {}
};

}  // namespace station
