// The parameter form without its widgets: the controls that show the station's parameter
// block (their labels, kinds, block fields, list options and ranges), the rules by which
// ranges, captions and enabled fields follow the block, the texts the controls show, the
// way their values go back into the block, the rows of the parameter printout, and the
// differences between two blocks by those rows.

#pragma once

#include <QLoggingCategory>
#include <QString>
#include <QStringList>
#include <optional>
#include <vector>

#include "para_418.h"

Q_DECLARE_LOGGING_CATEGORY(lcParamForm)

namespace vm418 {

enum class ParamKind {
    ReadOnly,  // serial number and software version: shown, never stored
    Numeric,
    List,  // several options, each with its value
    Flag,  // two options: the first stands for a non-zero byte, the second for 0
};

struct ParamOption {
    const char* text;
    int value;
};

// Control ids of the form.
enum ParamControlId : int {
    IDC_PASSWORD = 1004,
    IDC_SERIAL = 1005,
    IDC_BG_CORRECTION_AB = 1006,
    IDC_BG_CORRECTION_ab = 1007,
    IDC_NUMBER_PARAMETER = 1008,
    IDC_SEGMENT = 1009,
    IDC_VEHICLE_CAPTION = 1010,
    IDC_VEHICLE_OR_TIMEOUT = 1011,
    IDC_SOFTWARE_VERSION = 1012,
    IDC_ANALOG_SCALE = 1013,
    IDC_OPT_SENS = 1014,
    IDC_DETECTORS = 1015,
    IDC_ALARM_MODE = 1016,
    IDC_L1_AB = 1017,
    IDC_L1_CD = 1018,
    IDC_L1_CD_CAPTION = 1019,
    IDC_L1_EF_CAPTION = 1020,
    IDC_L1_EF = 1021,
    IDC_L1_ab = 1022,
    IDC_L2 = 1023,
    IDC_H3 = 1025,
    IDC_OS_LEVEL = 1027,
    IDC_MODEM = 1028,
    IDC_PRINT_ALARMS = 1029,
    IDC_CONTRAST = 1030,
    IDC_US_FORMAT = 1031,
    IDC_DUST = 1032,
    IDC_OS_DISTANCE = 1033,
    IDC_SPEED_ALERT = 1034,
    IDC_SPEED_IN = 1035,
    IDC_SPEED_LIMIT = 1036,
    IDC_TLC_OUTPUT = 1037,
    IDC_ALARMS_ONLY_BY_OS = 1038,
};

struct ParamControl {
    int id;
    const char* label;  // the form's label (1011, 1018 and 1021 change theirs with the block)
    ParamKind kind;
    int offset;  // block field; 1011 shows offset 59 with optical sensors fitted, else 57
    int width;   // bytes of the field (the password: its 5 characters)
    std::vector<ParamOption> options;
    // The debugger line's tail when one of the options' texts is missing from the list.
    const char* missingText = nullptr;
};

// The form's controls in the form's order.
const std::vector<ParamControl>& paramControls();
const ParamControl* findParamControl(int id);

// One control as the form shows it.
struct ControlState {
    const ParamControl* control = nullptr;
    QString caption;
    bool enabled = true;
    std::optional<int> minimum, maximum;  // a numeric field's range, when it has one
    double number = 0;                    // a numeric field's value
    QString text;                         // the text the control shows
    int offset = -1;                      // the block field it was filled from
    // Lists: the texts the drop-down holds, the value attached to each (none when the
    // program does not know the text), the selected one (-1 for none).
    QStringList items;
    std::vector<std::optional<int>> values;
    int selected = -1;
};

class ParamForm {
  public:
    ParamForm();

    // Fills every control from `p`: values, texts, list selections, ranges, captions and
    // enabled fields. An option the list lacks is reported on lcParamForm.
    void fill(const PARA_418& p);
    // Takes the controls' values (number, the password's text, the selected option) into
    // `p`; the serial number, software version and every byte the form does not show stay.
    // Field 1011 goes back to the field it was filled from: when the number of optical
    // sensors has just changed, its value is still the other field's.
    void takeInto(PARA_418& p) const;

    ControlState& control(int id);
    const ControlState& control(int id) const;
    const std::vector<ControlState>& controls() const { return states_; }
    // The texts a list holds (a test or an older form may lack some); kept by fill().
    void setListItems(int id, const QStringList& items);
    // Selects the list's option with this text (-1 when it has none); a numeric field's
    // number; the password field's text follows its number.
    void select(int id, const QString& text);
    void setNumber(int id, double value);

  private:
    std::vector<ControlState> states_;
};

// The printout's label rows: " Parameter ", one row per control, and " " closing the table.
const QStringList& printLabels();
// The value column of the printout: the text each control shows, in the order of the label
// rows between the first and the last.
QStringList printValues(const ParamForm& form);
QStringList printValues(const PARA_418& p);

// A field that differs between two blocks: its printout label (trimmed) and the texts the
// form shows for the old and the new block.
struct ParamDifference {
    QString label;
    QString oldText;
    QString newText;
};
std::vector<ParamDifference> diff(const PARA_418& before, const PARA_418& after);

}  // namespace vm418
