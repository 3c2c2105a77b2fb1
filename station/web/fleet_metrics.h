// The fleet view's metrics in the Prometheus text exposition format (version 0.0.4): per
// system its contacts, calls and stored alarms, per process the requests answered.
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <array>
#include <map>
#include <vector>

#include "fleet_data.h"

namespace vm418::web {

// The requests a server answered: counts by status code, and durations in the histogram's
// buckets (seconds, each counting the requests that took at most its bound).
struct RequestFigures {
    static constexpr std::array<double, 10> kBuckets{0.005, 0.01, 0.025, 0.05, 0.1,
                                                     0.25,  0.5,  1,     2.5,  10};
    std::map<int, quint64> byStatus;
    std::array<quint64, kBuckets.size()> inBucket{};  // cumulative, as the format wants
    quint64 count = 0;
    double secondsSum = 0;

    void add(int status, double seconds);
};

// `alarmsStored`: each system's alarms in the store, by SysID; `storeUp`: whether the rows
// could be read (without them only the requests are told).
// `unsent`: each system's notifications pending and failed.
QByteArray metricsText(bool storeUp, const std::vector<FleetRow>& rows,
                       const std::map<int32_t, qint64>& alarmsStored,
                       const std::map<int32_t, std::pair<qint64, qint64>>& unsent,
                       const RequestFigures& requests);

}  // namespace vm418::web
