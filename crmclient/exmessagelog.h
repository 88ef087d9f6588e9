// The program's diagnostic log: Qt's debug, warning, critical and fatal messages go into one
// file in the current folder, truncated at the first message of each program start.
#pragma once

#include <QString>

enum class LogLineEnding { Lf, CrLf };

// Installs the message handler. fileName is a bare file name ("kelvor_contacts.log"); the file
// is <current folder>/<fileName>, opened with "wb" on the first message (so the folder at that
// moment counts). If it cannot be opened the message is dropped and the next one tries again.
void installMessageLog(const QString& fileName, LogLineEnding ending = LogLineEnding::Lf);
// Restores the previous handler and closes the file; a later install starts afresh.
void uninstallMessageLog();
// Closes the file (the entry point calls this after the event loop); the handler stays installed
// and reopens (truncating) on the next message.
void closeMessageLog();
