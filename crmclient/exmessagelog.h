// The program's diagnostic log: Qt's debug, warning, critical and fatal messages go into one
// file in the current folder, truncated at the first message of each program start.
//
// Lines are collected in memory and written in large blocks: when the block is full, at most
// about half a second after a line arrived (a background flusher), at once for critical and
// fatal messages, on flushMessageLog() (the runs call it before they hand over their summary),
// when the log is closed, at process exit and when the process crashes or is ended by a signal
// (SIGSEGV, SIGABRT, SIGTERM, SIGINT, ...; the signal then takes its previous course).
// The file is created owner-only (0600). One message is cut at maxMessageLogLine bytes with a
// note of its full size; a file that grows past maxMessageLogFile bytes is renamed to
// "<name>.1" (replacing an older one) and a new file is started, so at most two files exist.
#pragma once

#include <QString>

#include <cstddef>

enum class LogLineEnding { Lf, CrLf };

inline constexpr std::size_t maxMessageLogLine = 64 * 1024;
inline constexpr qint64 maxMessageLogFile = 50 * 1024 * 1024;

// Installs the message handler. fileName is a bare file name ("kelvor_contacts.log"); the file
// is <current folder>/<fileName>, opened (truncated) on the first message (so the folder at that
// moment counts). If it cannot be opened the message is dropped and the next one tries again.
void installMessageLog(const QString& fileName, LogLineEnding ending = LogLineEnding::Lf);
// Restores the previous handler and closes the file; a later install starts afresh.
void uninstallMessageLog();
// Writes what is pending and closes the file (the entry point calls this after the event loop);
// the handler stays installed and reopens (truncating) on the next message.
void closeMessageLog();
// Writes every line logged so far to the file.
void flushMessageLog();

// The line as written for a message: the message's UTF-8 bytes up to its first NUL, cut at
// maxMessageLogLine bytes (on a character boundary) with a note of the full size.
[[nodiscard]] QByteArray boundedMessageText(const QString& message);
