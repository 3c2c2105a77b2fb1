#include "station_view.h"

#include "station_dialogs.h"
#include "vm418_doc.h"

namespace station {

QString CStationView::CaptionOf(const char* kind) const {
    return doc_.title + QLatin1String(kind) +
           (doc_.linkState != LINK_OFF_LINE ? QStringLiteral("[Connected]")
                                            : QStringLiteral("[Off Line]"));
}

bool CStationView::CanChangePeriod() const {
    return doc_.linkState == LINK_OFF_LINE;
}

vm418::RecordCondition CStationView::AskPeriod() {
    CTimePeriodDlg dialog(start_, end_, this);
    dialog.exec();
    start_ = dialog.From();
    end_ = dialog.To();
    return vm418::RecordCondition::days(start_, end_);
}

}  // namespace station
