#include "appointmentmapping.h"

#include "bytes.h"
#include "propaccess.h"

#include <QDebug>
#include <QString>

#include <vector>

namespace
{

using xmapi::PropTag;
using xmapi::Row;

using xmapi::bytes::hexOf;

QString stringOf(const std::string& s)
{
    const auto nul = s.find('\0');
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(nul == std::string::npos ? s.size() : nul));
}

const xmapi::PropValue* valueOf(const Row& row, const CalendarTags& tags, std::size_t col)
{
    // An unresolved name (id 0) never counts as present, whatever the row holds.
    if (col != CalSubject && col != CalBody && PROP_ID(tags[col]) == 0)
        return nullptr;
    return HasColumn(row, static_cast<int>(col), tags[col]) ? &row[col] : nullptr;
}

qint32 appointmentTime(const xmapi::PropValue& v)
{
    return static_cast<qint32>(ToLocalUnixTime(v.ft));
}

} // namespace

xmapi::HResult GetCalenderProps(xmapi::Folder& folder, CalendarTags& tags)
{
    const xmapi::Guid appointment = xmapi::PSETID_Appointment();
    const xmapi::Guid common = xmapi::PSETID_Common();
    static const std::vector<xmapi::PropType> types = {
        PT_SYSTIME,    PT_SYSTIME, PT_SYSTIME, PT_BOOLEAN, PT_BOOLEAN, PT_BOOLEAN,
        PT_MV_STRING8, PT_STRING8, PT_LONG,    PT_STRING8, PT_STRING8, PT_BOOLEAN,
    };
    const std::vector<xmapi::NamedProp> names = {
        xmapi::NamedProp::byId(appointment, 0x820D), // PidLidAppointmentStartWhole
        xmapi::NamedProp::byId(appointment, 0x820E), // PidLidAppointmentEndWhole
        xmapi::NamedProp::byId(common, 0x8560),      // PidLidReminderSignalTime
        xmapi::NamedProp::byId(appointment, 0x8223), // PidLidRecurring
        xmapi::NamedProp::byId(common, 0x8503),      // PidLidReminderSet
        xmapi::NamedProp::byId(common, 0x8506),      // PidLidPrivate
        xmapi::NamedProp::byName(xmapi::PS_PUBLIC_STRINGS(), "Keywords"),
        xmapi::NamedProp::byId(appointment, 0x8208), // PidLidLocation
        xmapi::NamedProp::byId(appointment, 0x8205), // PidLidBusyStatus
        xmapi::NamedProp::byId(appointment, 0x823B), // PidLidToAttendeesString
        xmapi::NamedProp::byId(appointment, 0x823C), // PidLidCcAttendeesString
        xmapi::NamedProp::byId(appointment, 0x8215), // PidLidAppointmentSubType (all day)
    };
    std::vector<PropTag> resolved;
    const xmapi::HResult hr = ResolveNamedTags(folder, names, types, 0, resolved, true);
    if (xmapi::failed(hr))
        return hr;
    // Every folder gets a table of its own: a tag the store did not hand back is id 0 and never
    // matches, instead of a tag left over from the previous folder.
    auto resolvedAt = [&](std::size_t i) { return i < resolved.size() ? resolved[i] : PROP_TAG(types[i], 0); };
    CalendarTags fresh{};
    for (std::size_t i = 0; i < CalSubject; ++i)
        fresh[i] = resolvedAt(i);
    fresh[CalSubject] = PR_SUBJECT_W;
    fresh[CalBody] = PR_BODY_W;
    fresh[CalAllDay] = resolvedAt(CalSubject);
    tags = fresh;
    return hr;
}

std::optional<CalendarTags> GetPropIDS(xmapi::Folder& folder, xmapi::HResult& hr)
{
    CalendarTags tags{};
    hr = GetCalenderProps(folder, tags);
    if (xmapi::failed(hr)) {
        qCritical("GetCalenderProps failed");
        return std::nullopt;
    }
    for (std::size_t i = 0; i < tags.size(); ++i)
        qDebug().noquote() << QString::number(i) + QStringLiteral(" -> PROP ID: ") + hexOf(tags[i]);
    qDebug("ExJob::GetPropIDS");
    return tags;
}

crmAppointmentItem ReadAppointmentRow(const xmapi::Row& row, const CalendarTags& tags)
{
    crmAppointmentItem item;

    if (const auto* v = valueOf(row, tags, CalSubject)) {
        item.subject = TextOf(*v);
    } else {
        qDebug("PR_SUBJECT failed");
        item.subject = QStringLiteral("No Subject");
    }
    if (const auto* v = valueOf(row, tags, CalBody))
        item.body += TextOf(*v);
    else
        qDebug("PR_BODY failed");

    if (const auto* v = valueOf(row, tags, CalStart))
        item.start = appointmentTime(*v);
    else
        qDebug("EX_TAG_COMMON_START  failed");
    bool hasEnd = false;
    if (const auto* v = valueOf(row, tags, CalEnd)) {
        item.stop = appointmentTime(*v);
        hasEnd = true;
    } else {
        qDebug("EX_TAG_COMMON_START  failed");
    }

    // Seconds from the reminder to the start of the appointment. Outlook's "no date" (year 4501)
    // as signal time means no reminder moment at all: then no reminder time is sent and the
    // reminder is not switched on, since the CRM could only ring at a made-up time.
    bool noReminderMoment = false;
    if (const auto* v = valueOf(row, tags, CalReminderTime)) {
        const qint32 signal = appointmentTime(*v);
        if (signal != -1)
            item.remember = static_cast<qint32>(static_cast<quint32>(item.start) - static_cast<quint32>(signal));
        else
            noReminderMoment = true;
    }
    if (const auto* v = valueOf(row, tags, CalReminderSet)) {
        if (v->l != 0 && !noReminderMoment) {
            item.rem = 1;
        } else {
            item.rem = 0;
            item.remember = 0;
        }
    } else {
        item.rem = 0;
        if (noReminderMoment)
            item.remember = 0;
    }
    if (const auto* v = valueOf(row, tags, CalPrivate))
        item.privat = v->l != 0 ? 1 : 0;

    if (const auto* v = valueOf(row, tags, CalKeywords)) {
        QString joined;
        for (const std::string& k : v->mvStr)
            joined += stringOf(k).trimmed() + QStringLiteral("; ");
        item.category += joined.trimmed();
    }
    if (const auto* v = valueOf(row, tags, CalLocation))
        item.city = TextOf(*v);
    // 0 free, 1 tentative, 2 busy, 3 out of office: the CRM uses Outlook's values.
    if (const auto* v = valueOf(row, tags, CalBusyStatus))
        item.status = v->l;

    // An appointment without an end lasts no time (the record has no "not set" end).
    if (!hasEnd)
        item.stop = item.start;
    // An all-day appointment ends two hours before the end Outlook gives. Outlook's own all-day
    // flag says which are: a timed trade fair over three days is not one, and an all-day
    // appointment on the day the clocks go forward lasts only 23 hours. Only where the flag is
    // missing does the duration decide: a day or more (an end before the start counts as well,
    // through the unsigned difference).
    bool allDay = false;
    if (const auto* v = valueOf(row, tags, CalAllDay))
        allDay = v->l != 0;
    else
        allDay = static_cast<quint32>(item.stop) - static_cast<quint32>(item.start) >= 86400u;
    if (allDay) {
        item.day = 1;
        item.stop -= 7200;
    }
    return item;
}
