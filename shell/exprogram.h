#pragma once

#include "eximportertable.h"

#include <QString>

#include <functional>

class CrmTransport;

// The start-up and end every importer program shares: the message log (file name messageLog) first, then
// the application object, Qt's own dialogs in German, libcurl, the program's CRM transport (certificate
// decisions kept with the settings) and the profile dialog; run() is called with all of that in place and
// its result is the exit code. The transport goes before libcurl's cleanup; the log is closed last,
// after whatever run() left behind has gone.
int exRunProgram(int argc, char* argv[], const QString& messageLog, const std::function<int(CrmTransport&)>& run);

// The entry point of an item importer. A program's main() fills its table and returns this:
//
//     int main(int argc, char* argv[]) { return exRunImporter(argc, argv, contactsTable()); }
//
// Order: message log first, application object, main window with the Outlook access; when Outlook is not
// available the program logs "Closing program" and ends with 0. Otherwise the window is shown, the folders
// are scanned before the event loop starts, and at the end the running job is stopped and waited for before
// the Outlook access and the window go.
int exRunImporter(int argc, char* argv[], const ExImporterTable& table);
