#pragma once

#include "eximportertable.h"

// The entry point of an item importer. A program's main() fills its table and returns this:
//
//     int main(int argc, char* argv[]) { return exRunImporter(argc, argv, contactsTable()); }
//
// Order: message log first, application object, main window with the Outlook access; when Outlook is not
// available the program logs "Closing program" and ends with 0. Otherwise the window is shown, the folders
// are scanned before the event loop starts, and at the end the running job is stopped and waited for before
// the Outlook access and the window go.
int exRunImporter(int argc, char* argv[], const ExImporterTable& table);
