#include "mailreader.h"

#include "bytes.h"
#include "exfolder.h"
#include "mimeconverter.h"

#include <QDebug>

#include <utility>

namespace {

using xmapi::bytes::hexOf;

// The column carries its value (a column the message lacks comes back with an error tag).
bool HasColumn(const xmapi::Row& row, std::size_t index, xmapi::PropTag tag)
{
    return index < row.size() && row[index].tag == tag;
}

QString textOf(const xmapi::PropValue& v)
{
    return QString::fromStdString(v.str);
}

// The contents-table columns of a mail folder, in this order.
const std::vector<xmapi::PropTag> kMailColumns = {PR_SUBJECT_W,     PR_MESSAGE_SIZE, PR_MESSAGE_DELIVERY_TIME,
                                                  PR_SENDER_EMAIL_ADDRESS_W, PR_DISPLAY_TO_W, PR_ENTRYID};

} // namespace

MailFolderRows::MailFolderRows(ExFOLDER* folder, MailConverter convert)
    : m_folder(folder), m_convert(std::move(convert))
{
    if (!folder || !folder->folder)
        return;
    std::unique_ptr<xmapi::Table> table;
    xmapi::HResult hr = folder->folder->GetContentsTable(MAPI_UNICODE, table);
    if (xmapi::failed(hr) || !table) {
        qCritical().noquote() << QStringLiteral("Can't get folder content table! ") + hexOf(hr);
        return;
    }
    hr = table->SetColumns(kMailColumns, 0);
    if (xmapi::failed(hr)) {
        qCritical().noquote() << QStringLiteral("SetColumns Failed: ") + hexOf(hr);
        return;
    }
    m_table = std::move(table);
}

MailFolderRows::~MailFolderRows() = default;

bool MailFolderRows::next(MailItem& item)
{
    item = MailItem();
    if (!m_table)
        return false;
    xmapi::RowSet rows;
    if (m_table->QueryRows(1, 0, rows) != S_OK || rows.empty())
        return false;
    const xmapi::Row& row = rows.front();
    item.row = ++m_row;
    item.dateText = QStringLiteral("Date: ");
    if (HasColumn(row, 0, PR_SUBJECT_W))
        item.subject = textOf(row[0]);
    if (HasColumn(row, 1, PR_MESSAGE_SIZE)) {
        item.size = row[1].l;
        qDebug() << "MSG SIZE: " << item.size;
    }
    if (HasColumn(row, 2, PR_MESSAGE_DELIVERY_TIME))
        item.dateText = QString::fromLatin1(DateHeaderOfDeliveryTime(row[2].ft));
    if (HasColumn(row, 3, PR_SENDER_EMAIL_ADDRESS_W))
        item.sender = textOf(row[3]);
    if (HasColumn(row, 4, PR_DISPLAY_TO_W))
        item.to = textOf(row[4]);
    if (item.size >= sizeLimit) {
        item.kind = MailItem::Kind::TooLarge;
    } else if (HasColumn(row, 5, PR_ENTRYID)) {
        item.kind = MailItem::Kind::Message;
        item.entryId = QByteArray(reinterpret_cast<const char*>(row[5].bin.data()), qsizetype(row[5].bin.size()));
    } else {
        item.kind = MailItem::Kind::Passed; // a row without an entry id is passed over without a count
    }
    return true;
}

void MailFolderRows::convert(MailItem& item)
{
    item.mime = QByteArray();
    if (item.kind != MailItem::Kind::Message)
        return;
    const xmapi::EntryId entryId(reinterpret_cast<const std::uint8_t*>(item.entryId.constData()),
                                 reinterpret_cast<const std::uint8_t*>(item.entryId.constData()) + item.entryId.size());
    std::uint32_t objType = 0;
    std::unique_ptr<xmapi::MapiProp> object;
    const xmapi::HResult hr = m_folder->folder->OpenEntry(entryId, 0, objType, object);
    if (xmapi::failed(hr) || !object) {
        qCritical().noquote() << QStringLiteral("Can't open message! ") + hexOf(hr);
        item.kind = MailItem::Kind::OpenFailed;
        return;
    }
    std::unique_ptr<xmapi::Message> message;
    if (objType != MAPI_MESSAGE || !(message = xmapi::objectCast<xmapi::Message>(std::move(object)))) {
        item.kind = MailItem::Kind::Passed; // an object of another kind is passed over without a count
        return;
    }
    qDebug() << "Converting Mail: " << item.subject;
    if (xmapi::succeeded(m_convert(*message, item.mime))) {
        // Without a delivery time no Date line is made up ("Date: " alone carries no date).
        RepairDateHeader(item.mime, item.dateText.toLatin1());
    } else {
        qCritical() << "E-Mail: " << item.subject << " can't be converted to MIME type.";
        item.mime = QByteArray();
        item.kind = MailItem::Kind::ConvertFailed;
    }
}

// ---- MailMemory -------------------------------------------------------------------------------

MailMemory::MailMemory(qint64 limit) : m_limit(limit) {}

bool MailMemory::reserve(qint64 bytes)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_freed.wait(lock, [&] { return m_cancelled || m_reserved == 0 || m_reserved + bytes <= m_limit; });
    if (m_cancelled)
        return false;
    m_reserved += bytes;
    return true;
}

bool MailMemory::grow(qint64 from, qint64 to)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    const qint64 others = m_reserved - from;
    if (others > 0 && others + to > m_limit)
        return false;
    m_reserved = others + to;
    return true;
}

void MailMemory::release(qint64 bytes)
{
    if (bytes <= 0)
        return;
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_reserved = qMax<qint64>(0, m_reserved - bytes);
    }
    m_freed.notify_all();
}

void MailMemory::cancel()
{
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_cancelled = true;
    }
    m_freed.notify_all();
}

void MailMemory::hold(qint64 bytes)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_held += bytes;
    m_peak = qMax(m_peak, m_held);
}

void MailMemory::drop(qint64 bytes)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_held -= bytes;
}

qint64 MailMemory::held() const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_held;
}

qint64 MailMemory::peakHeld() const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_peak;
}

qint64 MailMemory::requestBytes(qint64 mimeBytes)
{
    // The envelope around the source: a few hundred bytes with the session id and the folder id.
    constexpr qint64 envelope = 2048;
    return (mimeBytes + 2) / 3 * 4 + envelope;
}

qint64 MailMemory::roomFor(qint64 mimeBytes)
{
    return mimeBytes + requestBytes(mimeBytes);
}

qint64 MailMemory::roomForMessageSize(qint32 messageSize)
{
    // A source is about the size of the stored message with its attachments in base64 (4/3), less
    // what the store keeps twice (RTF beside the bodies). Too small a guess costs a second
    // conversion, never memory beyond the limit.
    const qint64 size = messageSize > 0 ? messageSize : 0;
    return roomFor(size + size / 2 + 256 * 1024);
}

// ---- MailReader -------------------------------------------------------------------------------

MailReader::MailReader(QList<ExFOLDER*> folders, MailConverter convert, MailMemory& memory)
    : m_folders(std::move(folders)), m_convert(std::move(convert)), m_memory(memory)
{
}

MailReader::~MailReader()
{
    stop();
}

void MailReader::start()
{
    m_thread = std::thread([this] { run(); });
}

void MailReader::stop()
{
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_stopped = true;
    }
    m_changed.notify_all();
    m_memory.cancel();
    if (m_thread.joinable())
        m_thread.join();
    std::deque<Entry> left;
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        left.swap(m_queue);
    }
    for (Entry& entry : left)
        discard(entry);
}

bool MailReader::next(Entry& entry, const std::function<bool()>& keepGoing)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        if (m_stopped)
            return false;
        if (!m_queue.empty()) {
            entry = std::move(m_queue.front());
            m_queue.pop_front();
            lock.unlock();
            m_changed.notify_all();
            return true;
        }
        if (m_finished)
            return false;
        if (m_changed.wait_for(lock, std::chrono::milliseconds(50)) == std::cv_status::timeout && keepGoing) {
            lock.unlock();
            if (!keepGoing())
                return false;
            lock.lock();
        }
    }
}

bool MailReader::push(Entry entry)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait(lock, [this] { return m_stopped || int(m_queue.size()) < maxQueued; });
    if (m_stopped) {
        lock.unlock();
        discard(entry);
        return false;
    }
    m_queue.push_back(std::move(entry));
    lock.unlock();
    m_changed.notify_all();
    return true;
}

void MailReader::discard(Entry& entry)
{
    if (entry.item && !entry.item->mime.isEmpty()) {
        m_memory.drop(entry.item->mime.size());
        entry.item->mime = QByteArray();
    }
    m_memory.release(entry.reserved);
    entry.reserved = 0;
}

void MailReader::run()
{
    for (ExFOLDER* folder : m_folders) {
        if (!folder || !folder->folder)
            continue;
        MailFolderRows rows(folder, m_convert);
        for (;;) {
            {
                const std::lock_guard<std::mutex> lock(m_mutex);
                if (m_stopped)
                    return;
            }
            Entry entry;
            entry.folder = folder;
            entry.item = std::make_shared<MailItem>();
            if (!rows.next(*entry.item))
                break;
            if (entry.item->kind == MailItem::Kind::Message && m_skip && m_skip(folder, entry.item->entryId))
                entry.item->kind = MailItem::Kind::Skipped;
            if (entry.item->kind == MailItem::Kind::Message && !convert(rows, entry))
                return;
            if (!push(std::move(entry)))
                return;
        }
        Entry end;
        end.folder = folder;
        if (!push(std::move(end)))
            return;
    }
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_finished = true;
    }
    m_changed.notify_all();
}

bool MailReader::convert(MailFolderRows& rows, Entry& entry)
{
    MailItem& item = *entry.item;
    qint64 room = MailMemory::roomForMessageSize(item.size);
    for (;;) {
        if (!m_memory.reserve(room))
            return false;
        rows.convert(item);
        if (item.kind != MailItem::Kind::Message) {
            m_memory.release(room);
            return true;
        }
        m_memory.hold(item.mime.size());
        const qint64 needed = MailMemory::roomFor(item.mime.size());
        if (needed <= room) {
            m_memory.release(room - needed);
            entry.reserved = needed;
            return true;
        }
        if (m_memory.grow(room, needed)) {
            entry.reserved = needed;
            return true;
        }
        // Larger than its size let expect, and more than is free beside what the uploads hold: read
        // again once there is room for it.
        m_memory.drop(item.mime.size());
        item.mime = QByteArray();
        m_memory.release(room);
        room = needed;
    }
}
