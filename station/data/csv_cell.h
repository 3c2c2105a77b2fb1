// One cell of the CSV files the tools write (alarm export, the alarm view's export).

#pragma once

#include <QRegularExpression>
#include <QString>

namespace vm418 {

// A text that a spreadsheet would run as a formula (one starting with "=", "+", "-", "@",
// a tab or a carriage return) gets a leading "'" so that it is shown as the text it is;
// a number ("-12", "+3.5", "1e-3") stays a number. A cell holding a separator, a quote or
// a line break is then quoted, its quotes doubled.
inline QString csvCell(const QString& text) {
    static const QRegularExpression number(R"(^[+-]?(\d+\.?\d*|\.\d+)([eE][+-]?\d+)?$)");
    QString cell = text;
    if (!cell.isEmpty() && QStringLiteral("=+-@\t\r").contains(cell.front()) &&
        !number.match(cell).hasMatch())
        cell.prepend('\'');
    if (!cell.contains(',') && !cell.contains('"') && !cell.contains('\n') && !cell.contains('\r'))
        return cell;
    cell.replace('"', "\"\"");
    return '"' + cell + '"';
}

}  // namespace vm418
