// The parameter printout: one page with the common page header and a two-column table of the
// parameter block, each value the text the parameter form shows for it.
#pragma once

#include <QDateTime>
#include <QString>

#include "para_418.h"

class QPagedPaintDevice;

namespace station {

// Prints `block` on `device` (a printer or a PDF file) under the heading `title` +
// "  - PARAMETERS "; returns the pages printed (1, or 0 when the device cannot be painted on).
int PrintParameterPages(QPagedPaintDevice& device, const QString& title,
                        const vm418::PARA_418& block, const QDateTime& printed);

}  // namespace station
