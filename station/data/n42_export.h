// The station's alarms as an ANSI N42.42 document (radiation detection instrument data, XML
// namespace http://physics.nist.gov/N42/2011/N42), for programs that read alarms of many
// kinds of instruments. QtCore only.

#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <memory>
#include <set>

#include "station_files.h"

namespace vm418 {

// The unit keeps its graph points in tens of counts, as it keeps the backgrounds, threshold,
// maximum and minimum of an alarm (which the parser multiplies by 10): a graph value v stands
// for 10 v counts, the value the alarm view plots. The file holds the counts.
inline constexpr int kGraphCountScale = 10;

// The unit's alarm record does not say how long one graph point counted for. The export
// takes each point as one slice of 0.2 s, the first starting at the alarm's date and time.
inline constexpr int kGraphSamplePeriodMs = 200;

// What the file says about the unit the alarms come from.
struct N42Source {
    QString title;            // the station's name as the views show it
    QString serial;           // the unit's serial number ("" when unknown)
    QString softwareVersion;  // e.g. "2.14" ("" when unknown)
};

// The alarms as an ANSI N42.42 document (UTF-8 XML): per alarm, its count graph as a
// gamma-count time series starting at the alarm's date and time, its detector and an alarm
// result carrying the level.
//
// Per alarm (map key k): a RadMeasurementGroup "Alarmk_Graph"; one RadMeasurement
// "Alarmk_S0", "Alarmk_S1", ... per graph point, each in that group, with its own start time
// (local time with its offset from UTC), a duration of kGraphSamplePeriodMs and one count
// (the graph value x kGraphCountScale; a negative value, which no count can be, is written as
// 0 with a remark giving the unit's value). The count is the one channel of a Spectrum of
// the alarm's detector, on the one EnergyCalibration "GrossCountCalibration": readers that
// take gamma counts only from spectra read it as a gamma count (a GrossCounts element they
// would take for neutron counts). An AnalysisResults "Alarmk_Analysis" for the group and
// its measurements holds the RadAlarm "Alarmk" ("ALARM #n  -   LEVEL lD", as the alarm view
// heads it). An alarm without graph points keeps its group and its alarm result, with no
// measurement in the group. One RadDetectorInformation per detector letter ("Det_A", ...);
// a file without alarms describes the portal's detectors as one ("Det_Portal").
QByteArray alarmsN42(const AlarmMap& alarms, const N42Source& source, const QDateTime& created);

// What the head of such a document says of the alarms that follow it.
struct N42Contents {
    int alarms = 0;
    std::set<unsigned char> detectors;  // the detector bytes of the alarms
    bool graphs = false;                // whether any alarm has graph points
};

// The same document written a part at a time, for alarms read a few at a time: the head
// at once, then each alarm, then the end; take() hands over what was written since the last
// take. Alarms given with the same keys, detectors and graphs as `contents` make the bytes
// of alarmsN42.
class N42Stream {
  public:
    N42Stream(const N42Contents& contents, const N42Source& source, const QDateTime& created);
    ~N42Stream();
    N42Stream(const N42Stream&) = delete;
    N42Stream& operator=(const N42Stream&) = delete;
    void add(int key, const alarms& a);
    void end();
    QByteArray take();

  private:
    struct Parts;
    std::unique_ptr<Parts> parts_;
};

}  // namespace vm418
