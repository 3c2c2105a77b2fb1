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
    // /dev/ttyS<n-1>, what an unmapped COMn stands for.
    static QString defaultDevice(int comNumber);
    // "PRMTOOL_COM3" while that variable is set, which wins over the file; else "".
    static QString overridingVariable(int comNumber);
    // The number of "COMn" (any case), else 0.
    static int comNumberOf(const QString& name);

    // "" when the device can stand for a COM name (it exists and is a terminal line),
    // else why not, naming it.
    static QString checkDevice(const QString& device);
    // Keeps COMn=device in the file's [Ports] section; the file's other keys stay. The device
    // is checked first. "" when stored, else why not, naming the device or the file.
    QString setMapping(int comNumber, const QString& device) const;
    // Takes COMn out of the file, so that it is /dev/ttyS<n-1> again. "" or why not.
    QString removeMapping(int comNumber) const;
    // The mapping kept in the file, or "".
    QString mappingInFile(int comNumber) const;
    const QString& iniPath() const { return iniPath_; }

    // Maps a COM number for this process (the --simulate option maps COM1 to its simulator).
    static void setProcessOverride(int comNumber, const QString& device);

  private:
    QString iniPath_;
};

}  // namespace prm
