#pragma once

#include <QStringList>
#include <QTextStream>

namespace prm {

// `prmctl ports [--json] [--map COMn=DEVICE]... [--unmap COMn]...`: keeps the mappings asked
// for in the port map file, then lists COM1 to COM6 with the device each stands for and the
// machine's serial devices. Opens no port. Returns the exit code: 0 done, 1 a device that
// cannot be mapped or a file that cannot be written (nothing is changed then), 2 bad usage.
int runPortsCommand(const QStringList& args, QTextStream& out, QTextStream& err);

}  // namespace prm
