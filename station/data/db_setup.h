// Setting up the data source VM418 on this PC: the unixODBC configuration in the user's
// configuration folder, the tables, and for PostgreSQL the role "CREATOR".

#pragma once

#include <QString>
#include <functional>

namespace vm418 {

// "$XDG_CONFIG_HOME/vm418station" (usually ~/.config/vm418station): odbc.ini and
// odbcinst.ini written by initDatabase.
QString odbcConfigFolder();

// Points unixODBC at the configuration folder's files (ODBCINI, ODBCSYSINI) unless the
// environment already names others. True when the files are in use.
bool useOdbcConfiguration(const QString& folder = odbcConfigFolder());

// The SQLite file a connection text reaches: the value of its Database= when its DRIVER is
// SQLite's, else that of the data source it names (DSN=) in the ODBC files in use. "" when
// it reaches no SQLite file (PostgreSQL, or a data source that is not set up).
QString sqliteFileOf(const QString& connectionText);

// The full path of an installed ODBC driver library, or "" when it is not installed.
QString findOdbcDriver(const QString& libraryName);

struct DbSetup {
    QString sqliteFile;       // an SQLite database file, or
    QString conninfo;         // "host=H port=P dbname=D [user=U password=W]" of a PostgreSQL server
    bool createRole = false;  // PostgreSQL: create the role "CREATOR" with the given user
    QString configFolder = odbcConfigFolder();
};

// Opens the database given, creates what is missing there (tables, keys; see createSchema)
// and only then points the data source VM418 at it in the configuration folder, reporting
// each step through `tell`. Running it again changes nothing. 0, or a negative code after a
// message saying why (through `fail` when given); rows stored twice that prevent the unique
// keys are listed and make it fail, the data source then written all the same (the tables
// are in place).
using Tell = std::function<void(const QString&)>;
int initDatabase(const DbSetup& setup, const Tell& tell, const Tell& fail = {});

// The same for a database named by a connection text, the ODBC files left alone.
int initNamedDatabase(const QString& connectionText, const Tell& tell, const Tell& fail = {});

}  // namespace vm418
