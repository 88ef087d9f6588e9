// Reading the messages of the folders an e-mail run imports: one row of a folder's contents table at a
// time, with the columns the run shows and the message converted to its MIME source.
#pragma once

#include "xmapi.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

struct ExFOLDER;

// Turns one opened message into its MIME source (output cleared first); >= 0 converted.
using MailConverter = std::function<xmapi::HResult(xmapi::Message& message, QByteArray& mime)>;

// One row of a mail folder as the run needs it.
struct MailItem {
    enum class Kind {
        Message,       // converted: mime holds the source, date repaired
        TooLarge,      // PR_MESSAGE_SIZE at or above the limit: not opened
        OpenFailed,    // the message could not be opened
        ConvertFailed, // the converter gave up on it
        Passed,        // not a message, or no entry id: no count
        Skipped        // an earlier run imported it: not opened, not sent
    };
    Kind kind = Kind::Passed;
    int row = 0; // 1-based
    QString subject;
    QString sender;
    QString to;
    QString dateText; // "Date: ..." as the description shows it; "Date: " alone without a time
    qint32 size = 0;  // PR_MESSAGE_SIZE, 0 when missing
    QByteArray entryId;
    QByteArray mime;
};

// The rows of one folder, in table order. Logs what the run logs while reading ("MSG SIZE: ",
// "Converting Mail: ", the failures to open or convert). Uses the store from the calling thread only.
class MailFolderRows {
public:
    // Opens the folder's contents table with the six columns; a failure is logged and the folder
    // then has no rows.
    MailFolderRows(ExFOLDER* folder, MailConverter convert);
    ~MailFolderRows();
    MailFolderRows(const MailFolderRows&) = delete;
    MailFolderRows& operator=(const MailFolderRows&) = delete;

    // The next row with its columns. False at the end of the table. A row that is to be sent comes
    // back as Kind::Message without its source: convert() reads it.
    [[nodiscard]] bool next(MailItem& item);
    // Opens the row's message and converts it: Message with its source, or OpenFailed, ConvertFailed,
    // Passed (the entry is no message). May be called again for the same row.
    void convert(MailItem& item);

    // Messages of this size (PR_MESSAGE_SIZE) or more are not sent.
    static constexpr qint32 sizeLimit = 0x1000000;

private:
    ExFOLDER* m_folder;
    MailConverter m_convert;
    std::unique_ptr<xmapi::Table> m_table;
    int m_row = 0;
};

// The bytes of MIME sources and request bodies an e-mail run holds at once, kept within a limit.
// The reader reserves room before it converts a message and keeps it for the message until its
// request has left; a message that alone needs more than the limit goes when nothing else is held.
// Separately, what is actually held is counted (hold/drop), with its highest value. Thread-safe.
class MailMemory {
public:
    explicit MailMemory(qint64 limit = defaultLimit);
    MailMemory(const MailMemory&) = delete;
    MailMemory& operator=(const MailMemory&) = delete;

    static constexpr qint64 defaultLimit = qint64(64) * 1024 * 1024;
    [[nodiscard]] qint64 limit() const { return m_limit; }

    // Waits until `bytes` fit beside what is reserved, or until nothing is reserved; false when
    // cancel() came first.
    [[nodiscard]] bool reserve(qint64 bytes);
    // Raises a reservation from `from` to `to` bytes without waiting; false (nothing changed) when
    // the larger one fits neither beside the others nor alone.
    [[nodiscard]] bool grow(qint64 from, qint64 to);
    void release(qint64 bytes);
    // Ends every wait in reserve() and makes later calls fail at once.
    void cancel();

    void hold(qint64 bytes);
    void drop(qint64 bytes);
    [[nodiscard]] qint64 held() const;
    [[nodiscard]] qint64 peakHeld() const;

    // The room one message needs from its conversion until its request has left: the source and the
    // request body built from it (base64, in the envelope), which exist side by side for a moment.
    [[nodiscard]] static qint64 roomFor(qint64 mimeBytes);
    // The same, before the message is converted, from its PR_MESSAGE_SIZE (0 when unknown).
    [[nodiscard]] static qint64 roomForMessageSize(qint32 messageSize);
    // Size of the request body that carries a source of mimeBytes, at most.
    [[nodiscard]] static qint64 requestBytes(qint64 mimeBytes);

private:
    const qint64 m_limit;
    mutable std::mutex m_mutex;
    std::condition_variable m_freed;
    qint64 m_reserved = 0;
    qint64 m_held = 0;
    qint64 m_peak = 0;
    bool m_cancelled = false;
};

// Reads and converts the messages of an e-mail run ahead of the uploads, in a thread of its own:
// the folders in the order the run imports them, each folder's rows in table order, within the
// memory a MailMemory allows. The store is used from that thread alone while it reads (a PST file's
// handles are serialised by the back-end as well).
class MailReader {
public:
    // One row of a folder, or the end of a folder's rows (item null).
    struct Entry {
        ExFOLDER* folder = nullptr;
        std::shared_ptr<MailItem> item;
        qint64 reserved = 0; // room reserved in the MailMemory for the item's source and request
    };

    // folders: in import order; a folder without an open handle is not read.
    MailReader(QList<ExFOLDER*> folders, MailConverter convert, MailMemory& memory);
    // Stops the thread and gives back what it still holds.
    ~MailReader();
    MailReader(const MailReader&) = delete;
    MailReader& operator=(const MailReader&) = delete;

    // Set before start(): messages for which skip() holds are passed on as Kind::Skipped without
    // being opened. Called in the reader's thread.
    void setSkip(std::function<bool(const ExFOLDER* folder, const QByteArray& entryId)> skip) { m_skip = std::move(skip); }
    void start();
    // The next entry; waits for the reader, asking keepGoing() about every 50 ms. False after the
    // last folder's end, when stop() was called, or when keepGoing() said no.
    [[nodiscard]] bool next(Entry& entry, const std::function<bool()>& keepGoing);
    // Ends reading; entries not taken are dropped.
    void stop();
    // Gives back what a taken entry holds, when it is not sent.
    void discard(Entry& entry);

    // Rows read ahead at most, whatever their size.
    static constexpr int maxQueued = 256;

private:
    void run();
    // Converts the entry's message within the memory; false when the reader was stopped meanwhile.
    bool convert(MailFolderRows& rows, Entry& entry);
    bool push(Entry entry);

    QList<ExFOLDER*> m_folders;
    MailConverter m_convert;
    std::function<bool(const ExFOLDER*, const QByteArray&)> m_skip;
    MailMemory& m_memory;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<Entry> m_queue; // guarded by m_mutex
    bool m_finished = false;   // guarded by m_mutex: every folder read
    bool m_stopped = false;    // guarded by m_mutex
    std::thread m_thread;
};
