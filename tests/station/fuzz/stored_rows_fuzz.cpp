// libFuzzer target: any bytes as the rows the station's tables hand back (an Alarms row with
// its numbers, texts, graph blob and Len; a History row), turned into records and every text
// the tools make of them. Whatever a database holds, a loaded record keeps its invariants:
// Len 0 to 220 with as many graph values, terminated fixed texts.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "record_text.h"
#include "station_records.h"

namespace {

void require(bool ok) {
    if (!ok) __builtin_trap();
}

// Takes bytes from the front of the input.
class Input {
  public:
    Input(const uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    int32_t number() {
        int32_t v = 0;
        const std::size_t n = std::min<std::size_t>(4, size_);
        std::memcpy(&v, data_, n);
        take(n);
        return v;
    }
    QByteArray bytes() {
        const std::size_t n = std::min<std::size_t>(size_ ? data_[0] : 0, size_ ? size_ - 1 : 0);
        if (size_) take(1);
        QByteArray b(reinterpret_cast<const char*>(data_), static_cast<qsizetype>(n));
        take(n);
        return b;
    }
    // Texts come back from the database as Latin-1 or as UTF-8, NUL bytes included.
    QString text() {
        const QByteArray b = bytes();
        return !b.isEmpty() && (uint8_t(b[0]) & 1) ? QString::fromUtf8(b) : QString::fromLatin1(b);
    }

  private:
    void take(std::size_t n) {
        data_ += n;
        size_ -= n;
    }
    const uint8_t* data_;
    std::size_t size_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    Input in(data, size);
    vm418::AlarmRow row;
    row.DateTime = QDateTime::fromSecsSinceEpoch(in.number());
    for (int* field :
         {&row.AlarmNumber, &row.Direction, &row.Segment, &row.Speed, &row.InBG, &row.AlarmLevel,
          &row.OutBG, &row.Threshold, &row.Len, &row.Max, &row.Min, &row.Detector})
        *field = in.number();
    // Lengths near the graph's own are the interesting ones.
    row.Len %= 2 * vm418::kMaxGraphLen;
    row.StatusWord = in.text();
    row.BGtime = in.text();
    row.Graph = in.bytes();
    if (!row.Graph.isEmpty() && (uint8_t(row.Graph[0]) & 1)) row.Graph = row.Graph.repeated(4);

    vm418::alarms a;
    const bool whole = vm418::alarmFromRow(row, a);
    require(a.Len >= 0 && a.Len <= vm418::kMaxGraphLen);
    require(a.Graph.size() == static_cast<std::size_t>(a.Len));
    require(a.StatusWord[24] == '\0' && a.BGtime[8] == '\0');
    require(whole == (row.Len == 0 || (row.Len > 0 && row.Len <= vm418::kMaxGraphLen &&
                                       row.Graph.size() == 4 * qsizetype(row.Len))));
    if (whole) require(a.Len == row.Len);
    // A loaded record can be stored again unless its date is out of the database's years.
    require(vm418::storableAlarm(a) || !QDateTime::fromSecsSinceEpoch(a.DateTime).isValid() ||
            QDateTime::fromSecsSinceEpoch(a.DateTime).date().year() < 1 ||
            QDateTime::fromSecsSinceEpoch(a.DateTime).date().year() > 9999);
    vm418::alarmLine(a);
    vm418::alarmsCsv({{1, a}});

    const vm418::CHistory h{1, in.text(), in.number(), {}};
    vm418::storableEvent(h);
    vm418::historyLine(h);
    return 0;
}
