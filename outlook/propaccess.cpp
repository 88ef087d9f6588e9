#include "propaccess.h"

#include "bytes.h"

#include <QDate>
#include <QDateTime>
#include <QDebug>
#include <QTime>
#include <QTimeZone>

namespace {

using xmapi::bytes::hexOf;

constexpr qint64 kEpochDiff = 11644473600LL; // seconds from 1601-01-01 to 1970-01-01

// The wall-clock fields of a FILETIME, as FileTimeToSystemTime gives them (UTC, no zone applied).
void utcFields(const xmapi::FileTime& ft, QDate& date, QTime& time)
{
    const qint64 secs = static_cast<qint64>(ft.ticks / 10000000ULL);
    date = QDate(1601, 1, 1).addDays(secs / 86400);
    time = QTime(0, 0).addSecs(static_cast<int>(secs % 86400));
}

// A local date-time. One that the clocks skip when they go forward (02:30 on the last Sunday of
// March in Berlin, 00:30 where the switch happens at midnight) is the first instant after the
// gap, the moment of the switch itself: Outlook still meant that day, so it must not become "no
// time".
QDateTime resolveLocal(const QDate& date, const QTime& time)
{
    const QDateTime local(date, time, Qt::LocalTime);
    if (local.isValid())
        return local;
    const QTimeZone zone = QTimeZone::systemTimeZone();
    if (!zone.isValid())
        return local;
    // The wall-clock reading counted as if it were UTC; a gap is the wall-clock span from the
    // switch read with the old offset to the switch read with the new one.
    const qint64 wall = QDateTime(date, time, Qt::UTC).toSecsSinceEpoch();
    QDateTime from = QDateTime::fromSecsSinceEpoch(wall - 2 * 86400, Qt::UTC);
    for (int i = 0; i < 8; ++i) {
        const QTimeZone::OffsetData next = zone.nextTransition(from);
        if (!next.atUtc.isValid() || next.atUtc.toSecsSinceEpoch() > wall + 2 * 86400)
            break;
        const qint64 at = next.atUtc.toSecsSinceEpoch();
        const int before = zone.offsetFromUtc(next.atUtc.addSecs(-1));
        if (next.offsetFromUtc > before && wall >= at + before && wall < at + next.offsetFromUtc)
            return next.atUtc.toLocalTime();
        from = next.atUtc;
    }
    return local;
}

// Those fields read as a local date-time, plus `add` seconds, as unsigned 32-bit seconds since
// 1970; NoTime when that cannot be expressed. Years outside four digits never survive the text
// round trip that Outlook times take in this suite ("dd.MM.yyyy hh:mm:ss").
quint32 localSeconds(const QDate& date, const QTime& time, qint64 add)
{
    if (!date.isValid() || date.year() < 1000 || date.year() > 9999)
        return NoTime;
    const QDateTime local = resolveLocal(date, time);
    if (!local.isValid())
        return NoTime;
    const qint64 s = local.toSecsSinceEpoch() + add;
    if (s < 0 || s >= static_cast<qint64>(NoTime))
        return NoTime;
    return static_cast<quint32>(s);
}

QString cutAtNul(const std::string& s)
{
    const auto nul = s.find('\0');
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(nul == std::string::npos ? s.size() : nul));
}

} // namespace

__LPSPropValue::~__LPSPropValue()
{
    qDebug("__LPSPropValue::~__LPSPropValue");
}

xmapi::HResult HrGetOneProp(xmapi::MapiProp& object, xmapi::PropTag tag, __LPSPropValue& holder)
{
    auto value = std::make_unique<xmapi::PropValue>();
    const xmapi::HResult hr = xmapi::HrGetOneProp(object, tag, *value);
    if (xmapi::succeeded(hr))
        holder.reset(std::move(value));
    return hr;
}

xmapi::HResult ResolveNamedTags(xmapi::MapiProp& object, const std::vector<xmapi::NamedProp>& names,
                                const std::vector<xmapi::PropType>& types, std::uint32_t flags,
                                std::vector<xmapi::PropTag>& tags, bool logTags, const QString& resultLabel)
{
    std::vector<xmapi::PropTag> got;
    const xmapi::HResult hr = object.GetIDsFromNames(names, flags, got);
    if (!resultLabel.isEmpty())
        qDebug().noquote() << resultLabel + hexOf(hr);
    if (xmapi::failed(hr) || got.empty())
        return hr;
    if (got.size() != names.size())
        qDebug("PROPS COUNT MISMATCH!\n");
    tags.clear();
    for (std::size_t i = 0; i < got.size(); ++i) {
        const xmapi::PropType type = i < types.size() ? types[i] : PROP_TYPE(got[i]);
        const xmapi::PropTag tag = CHANGE_PROP_TYPE(got[i], type);
        tags.push_back(tag);
        if (logTags)
            qDebug().noquote() << QString::number(i) + QStringLiteral(" -> GCPROP ID: ") + hexOf(tag);
    }
    return hr;
}

xmapi::HResult GetContactsProps(xmapi::MapiProp& folder, std::vector<xmapi::PropTag>& tags)
{
    const xmapi::Guid address = xmapi::PSETID_Address();
    const std::vector<xmapi::NamedProp> names = {
        xmapi::NamedProp::byId(address, 0x8083), // e-mail 1
        xmapi::NamedProp::byId(address, 0x8093), // e-mail 2
        xmapi::NamedProp::byId(address, 0x80A3), // e-mail 3
        xmapi::NamedProp::byId(address, 0x8062), // instant messaging
    };
    return ResolveNamedTags(folder, names, {PT_STRING8, PT_STRING8, PT_STRING8, PT_STRING8}, 0, tags, true,
                            QStringLiteral("GetContactsProps HRESULT: "));
}

std::vector<xmapi::PropTag> ContactColumns(const std::vector<xmapi::PropTag>& namedTags)
{
    auto named = [&](std::size_t i) { return i < namedTags.size() ? namedTags[i] : PROP_TAG(PT_STRING8, 0); };
    return {
        0x3A06001F, 0x3A44001F, 0x3A11001F, 0x3001001F, 0x3A4F001F, 0x3A48001F, 0x3A58101F, 0x3A420040,
        0x3A410040, named(0),   named(1),   named(2),   named(3),   0x3A08001F, 0x3A1B001F, 0x3A09001F,
        0x3A2F001F, 0x3A25001F, 0x3A24001F, 0x3A21001F, 0x3A1C001F, 0x3A1E001F, 0x3A1D001F, 0x3A57001F,
        0x3A2E001F, 0x3A5D001F, 0x3A59001F, 0x3A5C001F, 0x3A5B001F, 0x3A5A001F, 0x3A50001F, 0x3A17001F,
        0x3A18001F, 0x3A16001F, 0x3A29001F, 0x3A27001F, 0x3A28001F, 0x3A2A001F, 0x3A26001F, 0x3A51001F,
        0x3A19001F, 0x3A63001F, 0x3A5F001F, 0x3A62001F, 0x3A61001F, 0x3A60001F, 0x3A30001F, 0x1000001F,
    };
}

bool HasColumn(const xmapi::Row& row, int index, xmapi::PropTag expected)
{
    return index >= 0 && static_cast<std::size_t>(index) < row.size() && row[static_cast<std::size_t>(index)].tag == expected;
}

QString TextOf(const xmapi::PropValue& value)
{
    if (value.type() != PT_UNICODE && value.type() != PT_STRING8)
        return QString();
    return cutAtNul(value.str).trimmed();
}

QString JoinedText(const xmapi::PropValue& value)
{
    if (value.type() != PT_MV_UNICODE && value.type() != PT_MV_STRING8)
        return QString();
    QString out;
    for (const auto& s : value.mvStr)
        out += cutAtNul(s).trimmed() + QStringLiteral("; ");
    return out.trimmed();
}

qint32 LongOf(const xmapi::PropValue& value)
{
    return value.l;
}

bool BoolOf(const xmapi::PropValue& value)
{
    return value.l != 0;
}

double DoubleOf(const xmapi::PropValue& value)
{
    return value.dbl;
}

quint32 CrmTime(const xmapi::FileTime& ft)
{
    QDate d;
    QTime t;
    utcFields(ft, d, t);
    return localSeconds(d, t, 7200);
}

quint32 ToUnixTime(const xmapi::FileTime& ft, qint32 hourOffset)
{
    QDate d;
    QTime t;
    utcFields(ft, d, t);
    const quint32 base = localSeconds(d, t, 0);
    if (base == NoTime)
        return NoTime;
    return base + static_cast<quint32>(hourOffset * 3600);
}

quint32 ToLocalUnixTime(const xmapi::FileTime& ft)
{
    // The zone offset of the converted moment itself applies (not the one in force today), so
    // the round trip UTC -> local fields -> local parse gives the moment back.
    const qint64 s = static_cast<qint64>(ft.ticks / 10000000ULL) - kEpochDiff;
    if (s < 0 || s >= static_cast<qint64>(NoTime))
        return NoTime;
    return static_cast<quint32>(s);
}

xmapi::FileTime FileTimeFromUnix(qint64 secondsSince1970)
{
    return xmapi::FileTime{static_cast<std::uint64_t>((secondsSince1970 + kEpochDiff) * 10000000LL)};
}
