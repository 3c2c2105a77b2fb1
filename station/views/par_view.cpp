#include "par_view.h"

#include <QFormLayout>
#include <QHBoxLayout>
#include <QStyle>
#include <QVBoxLayout>
#include <algorithm>

#include "par_print.h"
#include "station_dialogs.h"
#include "station_ui.h"
#include "vm418_doc.h"

namespace station {

using namespace vm418;

namespace {

// The form's three columns: general and optical sensors, the alarm mode group, display and
// output settings.
const int kLeftColumn[] = {IDC_SERIAL,    IDC_SOFTWARE_VERSION,  IDC_PASSWORD,
                           IDC_DETECTORS, IDC_OPT_SENS,          IDC_OS_DISTANCE,
                           IDC_OS_LEVEL,  IDC_VEHICLE_OR_TIMEOUT};
const int kAlarmGroup[] = {IDC_ALARM_MODE, IDC_ALARMS_ONLY_BY_OS,
                           IDC_DUST,       IDC_NUMBER_PARAMETER,
                           IDC_L1_AB,      IDC_L1_CD,
                           IDC_L1_EF,      IDC_L1_ab,
                           IDC_L2,         IDC_H3};
const int kRightColumn[] = {
    IDC_SPEED_LIMIT,      IDC_SPEED_ALERT, IDC_SPEED_IN, IDC_US_FORMAT,    IDC_PRINT_ALARMS,
    IDC_TLC_OUTPUT,       IDC_MODEM,       IDC_CONTRAST, IDC_ANALOG_SCALE, IDC_BG_CORRECTION_AB,
    IDC_BG_CORRECTION_ab, IDC_SEGMENT};

constexpr int kFieldWidth = 84;  // pixels: "100000" and "YES-EXT" with their arrows

}  // namespace

CParView::CParView(CVM418Doc& doc, std::function<void(int)> postCommand, QWidget* parent)
    : CStationView(doc, std::move(postCommand), parent) {
    auto column = [this](const auto& ids) {
        auto* form = new QFormLayout;
        for (int id : ids) {
            const ParamControl& c = *findParamControl(id);
            auto* label = new QLabel(QString::fromLatin1(c.label));
            labels_[id] = label;
            form->addRow(label, MakeControl(c));
        }
        return form;
    };
    auto* alarmMode = new QGroupBox("Alarm mode");
    alarmMode->setLayout(column(kAlarmGroup));
    auto* columns = new QHBoxLayout;
    columns->addLayout(column(kLeftColumn));
    columns->addWidget(alarmMode);
    columns->addLayout(column(kRightColumn));

    read_ = new QPushButton("Read");
    write_ = new QPushButton("Write");
    default_ = new QPushButton("Default");
    wait_ = new Lamp("Wait");
    stopMoni_ = new Lamp("Stop MONI");
    error_ = new Lamp("Error");
    auto* bottom = new QHBoxLayout;
    for (QWidget* w : std::initializer_list<QWidget*>{read_, write_, default_, wait_})
        bottom->addWidget(w);
    bottom->addStretch();
    bottom->addWidget(stopMoni_);
    bottom->addWidget(error_);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(columns);
    layout->addLayout(bottom);
    layout->addStretch();
    layout->setSizeConstraint(QLayout::SetMinimumSize);  // a frame never cuts labels short

    connect(read_, &QPushButton::clicked, this, [this] { Post(ID_DOWNLOAD_PARAMETERS); });
    connect(write_, &QPushButton::clicked, this, [this] {
        TakeControls();
        Post(ID_WRITE_PARAMETERS);
        // A block that fails its checks is not sent (the document says so) and nothing comes
        // back: the buttons return at once instead of waiting for ever.
        if (validateParameters(doc_.records.parameters) != 0) SetButtonsEnabled(true);
    });
    connect(default_, &QPushButton::clicked, this, [this] { Post(ID_DEFAULT_PARAMETERS); });
    setWindowTitle(Caption());
}

QWidget* CParView::MakeControl(const ParamControl& c) {
    QWidget* w = nullptr;
    switch (c.kind) {
        case ParamKind::ReadOnly: {
            auto* text = new QLineEdit;
            text->setReadOnly(true);
            text->setFocusPolicy(Qt::NoFocus);
            QPalette shown = text->palette();  // looks as shown-only as it is
            shown.setColor(QPalette::Base, shown.color(QPalette::Window));
            text->setPalette(shown);
            w = text;
            break;
        }
        case ParamKind::Numeric: {
            auto* field = new NumericField;
            if (c.id == IDC_DETECTORS || c.id == IDC_OPT_SENS) {
                // The form follows a finished entry, not every key typed.
                field->setKeyboardTracking(false);
                connect(field, &QDoubleSpinBox::valueChanged, this, &CParView::FollowChange);
            }
            w = field;
            break;
        }
        case ParamKind::List:
        case ParamKind::Flag: {
            auto* list = new QComboBox;
            list->addItems(form_.control(c.id).items);
            list->setCurrentIndex(-1);
            if (c.id == IDC_SPEED_IN)
                connect(list, &QComboBox::currentIndexChanged, this, &CParView::FollowChange);
            w = list;
            break;
        }
    }
    w->setFixedWidth(kFieldWidth);
    w->setObjectName(QString::number(c.id));
    controls_[c.id] = w;
    return w;
}

NumericField* CParView::Field(int id) const {
    const auto it = controls_.find(id);
    return it == controls_.end() ? nullptr : dynamic_cast<NumericField*>(it->second);
}

QComboBox* CParView::List(int id) const {
    const auto it = controls_.find(id);
    return it == controls_.end() ? nullptr : dynamic_cast<QComboBox*>(it->second);
}

QLineEdit* CParView::Text(int id) const {
    const auto it = controls_.find(id);
    return it == controls_.end() ? nullptr : dynamic_cast<QLineEdit*>(it->second);
}

QString CParView::Label(int id) const {
    const auto it = labels_.find(id);
    return it == labels_.end() ? QString() : it->second->text();
}

void CParView::FillControls() {
    filling_ = true;
    form_.fill(doc_.records.parameters);
    for (const ControlState& s : form_.controls()) {
        const int id = s.control->id;
        labels_.at(id)->setText(s.caption);
        QWidget* w = controls_.at(id);
        w->setEnabled(s.enabled);
        if (auto* text = dynamic_cast<QLineEdit*>(w)) {
            text->setText(s.text);
        } else if (auto* field = dynamic_cast<NumericField*>(w)) {
            if (s.minimum && s.maximum) {
                // A stored value outside the range is shown as it is, not clamped: the
                // block's checks refuse it when it is written, and nothing changes unseen.
                field->SetLimits(std::min<double>(*s.minimum, s.number),
                                 std::max<double>(*s.maximum, s.number));
            } else {
                field->ClearLimits();
            }
            field->SetNumber(s.number);
        } else if (auto* list = dynamic_cast<QComboBox*>(w)) {
            list->setCurrentIndex(s.selected);
        }
    }
    filling_ = false;
}

void CParView::TakeControls() {
    if (filling_) return;
    for (const ControlState& s : form_.controls()) {
        const int id = s.control->id;
        QWidget* w = controls_.at(id);
        if (auto* field = dynamic_cast<NumericField*>(w)) {
            field->interpretText();  // a value still being typed counts
            form_.setNumber(id, field->Number());
        } else if (auto* list = dynamic_cast<QComboBox*>(w)) {
            form_.select(id, list->currentIndex() >= 0 ? list->currentText() : QString());
        }
    }
    form_.takeInto(doc_.records.parameters);
}

void CParView::FollowChange() {
    if (filling_) return;
    TakeControls();
    FillControls();
}

void CParView::OnInitialUpdate() {
    if (auto* frame = parentWidget())
        frame->setWindowIcon(style()->standardIcon(QStyle::SP_FileDialogContentsView));
    if (doc_.linkState == LINK_OFF_LINE) {
        SetButtonsEnabled(false);
        doc_.records.loadParameters();
    } else {
        SetButtonsEnabled(true);
    }
    FillControls();
    setWindowTitle(Caption());
    RefreshLamps();
}

void CParView::OnUpdate(int hint, int /*key*/) {
    if (hint == HINT_PARAMETERS) {
        FillControls();
        SetButtonsEnabled(true);
    } else if (hint == HINT_CONNECTION) {
        SetButtonsEnabled(doc_.linkState != LINK_OFF_LINE);
        setWindowTitle(Caption());
    }
    RefreshLamps();
}

QString CParView::Caption() const {
    return CaptionOf("  - PARAMETERS ");
}

void CParView::OnChangePeriod() {
    CDatePickDlg dialog(&doc_.records, this);
    dialog.exec();
    FillControls();
}

int CParView::Print(QPagedPaintDevice& device, const QDateTime& printed, const PageRange& range) {
    TakeControls();
    // One page: a range that leaves it out prints nothing.
    if (!range.Has(1)) return 0;
    return PrintParameterPages(device, doc_.title, doc_.records.parameters, printed);
}

void CParView::Post(int command) {
    SetButtonsEnabled(false);
    post_(command);
}

void CParView::SetButtonsEnabled(bool enabled) {
    read_->setEnabled(enabled);
    write_->setEnabled(enabled);
    default_->setEnabled(enabled);
    wait_->SetOn(!enabled);
}

void CParView::RefreshLamps() {
    stopMoni_->SetOn(doc_.monitoringStopped);
    error_->SetOn(doc_.lastStatus != 0);
}

}  // namespace station
