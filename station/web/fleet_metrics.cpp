#include "fleet_metrics.h"

#include "call_attempts.h"

namespace vm418::web {

namespace {

// A label value with its backslashes, double quotes and line ends escaped.
QByteArray labelValue(const QString& text) {
    QByteArray out;
    for (const char c : text.toUtf8()) {
        if (c == '\\' || c == '"')
            out += '\\';
        else if (c == '\n') {
            out += "\\n";
            continue;
        }
        out += c;
    }
    return out;
}

QByteArray number(double v) {
    return QByteArray::number(v, 'g', 15);
}

class Exposition {
  public:
    void family(const char* name, const char* type, const char* help) {
        text_ += QByteArray("# HELP ") + name + ' ' + help + "\n# TYPE " + name + ' ' + type + '\n';
    }
    void sample(const QByteArray& name, const QByteArray& labels, double value) {
        text_ += name;
        if (!labels.isEmpty()) text_ += '{' + labels + '}';
        text_ += ' ' + number(value) + '\n';
    }
    QByteArray text() const { return text_; }

  private:
    QByteArray text_;
};

QByteArray systemLabels(const CSystemRset& s) {
    return "system=\"" + QByteArray::number(s.SysID) + "\",name=\"" +
           labelValue(s.SystemDescription) + '"';
}

}  // namespace

void RequestFigures::add(int status, double seconds) {
    ++byStatus[status];
    ++count;
    secondsSum += seconds;
    for (size_t i = 0; i < kBuckets.size(); ++i)
        if (seconds <= kBuckets[i]) ++inBucket[i];
}

QByteArray metricsText(bool storeUp, const std::vector<FleetRow>& rows,
                       const std::map<int32_t, qint64>& alarmsStored,
                       const std::map<int32_t, std::pair<qint64, qint64>>& unsent,
                       const RequestFigures& requests) {
    Exposition e;
    e.family("vm418_store_up", "gauge", "1 when the station database could be read.");
    e.sample("vm418_store_up", {}, storeUp ? 1 : 0);
    e.family("vm418_system_last_contact_timestamp_seconds", "gauge",
             "Time of the system's last successful contact (none before the first).");
    for (const FleetRow& r : rows)
        if (r.system.LastContactTime.isValid())
            e.sample("vm418_system_last_contact_timestamp_seconds", systemLabels(r.system),
                     double(r.system.LastContactTime.toSecsSinceEpoch()));
    e.family("vm418_system_last_call_timestamp_seconds", "gauge",
             "Start of the system's newest call by vm418ctl (none before the first).");
    for (const FleetRow& r : rows)
        if (r.lastCall)
            e.sample("vm418_system_last_call_timestamp_seconds", systemLabels(r.system),
                     double(r.lastCall->Started.toSecsSinceEpoch()));
    e.family("vm418_system_last_call_result", "gauge",
             "1 for the result of the system's newest call, 0 for the others.");
    for (const FleetRow& r : rows) {
        if (!r.lastCall) continue;
        for (const char* result : {kCallCollected, kCallPartial, kCallFailed})
            e.sample("vm418_system_last_call_result",
                     systemLabels(r.system) + ",result=\"" + result + '"',
                     r.lastCall->Result == QLatin1String(result) ? 1 : 0);
    }
    e.family("vm418_system_call_failures_in_row", "gauge",
             "Calls in a row that did not collect everything.");
    for (const FleetRow& r : rows)
        e.sample("vm418_system_call_failures_in_row", systemLabels(r.system),
                 r.lastCall ? r.lastCall->FailuresInRow : 0);
    e.family("vm418_system_failing", "gauge",
             "1 when the system's calls have failed for longer than its autocall period.");
    for (const FleetRow& r : rows)
        e.sample("vm418_system_failing", systemLabels(r.system), r.failing ? 1 : 0);
    e.family("vm418_system_alarms_stored", "gauge", "Alarms of the system in the store.");
    for (const FleetRow& r : rows) {
        const auto found = alarmsStored.find(r.system.SysID);
        e.sample("vm418_system_alarms_stored", systemLabels(r.system),
                 double(found == alarmsStored.end() ? 0 : found->second));
    }
    e.family("vm418_system_alarms_24h", "gauge", "Alarms of the system in the last 24 hours.");
    for (const FleetRow& r : rows)
        e.sample("vm418_system_alarms_24h", systemLabels(r.system), r.alarmsDay);

    e.family("vm418_system_notifications_unsent", "gauge",
             "Notifications of the system's alarms not delivered: pending or failed for good.");
    for (const FleetRow& r : rows) {
        const auto found = unsent.find(r.system.SysID);
        const auto [pending, failed] =
            found == unsent.end() ? std::pair<qint64, qint64>{0, 0} : found->second;
        e.sample("vm418_system_notifications_unsent", systemLabels(r.system) + ",state=\"pending\"",
                 double(pending));
        e.sample("vm418_system_notifications_unsent", systemLabels(r.system) + ",state=\"failed\"",
                 double(failed));
    }

    e.family("vm418_http_requests_total", "counter", "Requests answered, by status code.");
    for (const auto& [status, n] : requests.byStatus)
        e.sample("vm418_http_requests_total", "code=\"" + QByteArray::number(status) + '"',
                 double(n));
    e.family("vm418_http_request_duration_seconds", "histogram",
             "Time from a request's headers to the end of its answer.");
    for (size_t i = 0; i < RequestFigures::kBuckets.size(); ++i)
        e.sample("vm418_http_request_duration_seconds_bucket",
                 "le=\"" + number(RequestFigures::kBuckets[i]) + '"', double(requests.inBucket[i]));
    e.sample("vm418_http_request_duration_seconds_bucket", "le=\"+Inf\"", double(requests.count));
    e.sample("vm418_http_request_duration_seconds_sum", {}, requests.secondsSum);
    e.sample("vm418_http_request_duration_seconds_count", {}, double(requests.count));
    return e.text();
}

}  // namespace vm418::web
