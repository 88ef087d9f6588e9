// Files that may hold credentials or personal data (settings, diagnostic and HTTP logs, request
// dumps) are readable by their owner only.
#pragma once

#include <QByteArray>
#include <QString>

// Appends data to the log at path in one write; the file is created with mode 0600 (an existing
// one is set to 0600). A file already larger than rotateAt bytes is first renamed to "<path>.1"
// (replacing an older one), so that a log appended to across program starts keeps at most two
// files. Relative paths are relative to the current folder. False when it cannot be written.
bool appendPrivateLog(const QByteArray& path, const QByteArray& data, qint64 rotateAt = 50 * 1024 * 1024);

// Opens path for writing with mode 0600 (created, or an existing file set to 0600); -1 on
// failure. Truncate empties the file, Append writes at its end, InPlace neither (for pwrite).
// The descriptor is close-on-exec.
enum class PrivateOpen { Truncate, Append, InPlace };
[[nodiscard]] int openPrivateFile(const QByteArray& path, PrivateOpen how);

// Writes data into path (replacing it) with mode 0600; false when it cannot be written.
//
// Both keep the file open for the next call (a log is appended to once per exchange, the request
// dump rewritten once per contact, and opening, checking and closing a file cost several times the
// write). Each call looks the path up again: a file removed, renamed or replaced in between is
// opened anew, one whose mode was widened is set back to 0600. Safe to call from several threads.
bool writePrivateFile(const QString& path, const QByteArray& data);

// Sets mode on path when it exists and belongs to the calling user; false when it could not.
bool restrictToOwner(const QString& path, unsigned mode);
