#pragma once

#include <QString>

namespace prm {

// Resolves the COM names that users speak of ("COM1" ... ) to devices:
// the environment variable PRMTOOL_COMn first, then the [Ports] section of the INI file
// (COM1=/dev/ttyUSB0), else /dev/ttyS<n-1>. A name that is not "COMn" is taken as a
// device path as it stands.
class PortMap {
  public:
    // The INI file of the user's configuration folder: <config>/prmtool/ports.ini.
    static QString defaultIniPath();

    explicit PortMap(QString iniPath = defaultIniPath());

    QString resolve(const QString& name) const;
    QString deviceForNumber(int comNumber) const;

    // Maps a COM number for this process (the --simulate option maps COM1 to its simulator).
    static void setProcessOverride(int comNumber, const QString& device);

  private:
    QString iniPath_;
};

}  // namespace prm
