// Reading item properties: named-property resolution, column presence, value conversions and the
// time conversions of the importers. Used by the import runs (worker thread); nothing here keeps
// state between calls.
#pragma once

#include "xmapi.h"

#include <QString>
#include <QtGlobal>

#include <memory>
#include <vector>

// Holder of one property value fetched with HrGetOneProp; frees it when it goes out of scope and
// logs "__LPSPropValue::~__LPSPropValue" (debug) as it does so.
class __LPSPropValue {
public:
    __LPSPropValue() = default;
    __LPSPropValue(const __LPSPropValue&) = delete;
    __LPSPropValue& operator=(const __LPSPropValue&) = delete;
    ~__LPSPropValue();

    const xmapi::PropValue* get() const { return m_value.get(); }
    const xmapi::PropValue* operator->() const { return m_value.get(); }
    explicit operator bool() const { return m_value != nullptr; }
    void reset(std::unique_ptr<xmapi::PropValue> value) { m_value = std::move(value); }

private:
    std::unique_ptr<xmapi::PropValue> m_value;
};

// HrGetOneProp into a holder: on success the holder owns the value; on failure it stays empty.
[[nodiscard]] xmapi::HResult HrGetOneProp(xmapi::MapiProp& object, xmapi::PropTag tag, __LPSPropValue& holder);

// Resolves `names` on `object` (GetIDsFromNames with `flags`), and gives each returned tag the
// type of the same position in `types` (property id kept). Logs "PROPS COUNT MISMATCH!\n" when the
// store returns another number of tags than asked for, and each tag as
// "<i> -> GCPROP ID: <hex>" (debug) when logTags is set. A name the store does not know gives a tag
// with id 0, which never matches a column. Returns the result of GetIDsFromNames; on a negative
// result `tags` is left unchanged. With a resultLabel, the result of GetIDsFromNames is logged first
// as resultLabel followed by the code in base 16 (debug).
[[nodiscard]] xmapi::HResult ResolveNamedTags(xmapi::MapiProp& object, const std::vector<xmapi::NamedProp>& names,
                                              const std::vector<xmapi::PropType>& types, std::uint32_t flags,
                                              std::vector<xmapi::PropTag>& tags, bool logTags = true,
                                              const QString& resultLabel = QString());

// The four named contact properties (PSETID_Address 0x8083, 0x8093, 0x80A3, 0x8062: e-mail 1-3,
// instant messaging), all as PT_STRING8. Logs "GetContactsProps HRESULT: <hex>" first. On a
// negative result `tags` is left unchanged.
[[nodiscard]] xmapi::HResult GetContactsProps(xmapi::MapiProp& folder, std::vector<xmapi::PropTag>& tags);

// The 48 contents-table columns of the contacts importer, with the resolved named tags (e-mail 1,
// e-mail 2, e-mail 3, instant messaging) at positions 10-13 (index 9-12). Missing named tags
// are taken as id 0.
std::vector<xmapi::PropTag> ContactColumns(const std::vector<xmapi::PropTag>& namedTags);

// Column `index` of `row` is present when it carries exactly `expected`.
bool HasColumn(const xmapi::Row& row, int index, xmapi::PropTag expected);

// Text of a string value (PT_UNICODE or PT_STRING8), trimmed. Empty for any other type.
QString TextOf(const xmapi::PropValue& value);
// Multi-valued text (PT_MV_UNICODE, PT_MV_STRING8): each value trimmed and followed by "; ",
// the whole trimmed: "a; b;". Empty for no values.
QString JoinedText(const xmapi::PropValue& value);
// PT_LONG (and PT_SHORT) as it is.
qint32 LongOf(const xmapi::PropValue& value);
// PT_BOOLEAN as it is.
bool BoolOf(const xmapi::PropValue& value);
// PT_DOUBLE (and PT_FLOAT) as it is.
double DoubleOf(const xmapi::PropValue& value);

// ---- Times -----------------------------------------------------------------------------------
// All use the computer's local time zone (TZ); a result that 32-bit unsigned seconds since
// 1970-01-01 UTC cannot express (before 1970, after early 2106, Outlook's "no date" in 4501) is
// NoTime, which callers keep in signed 32-bit fields as -1.
constexpr quint32 NoTime = 4294967295u;

// CRM time of contacts: the stored UTC wall-clock fields read as local time, plus 7200 s.
quint32 CrmTime(const xmapi::FileTime& ft);
// Tasks: the stored wall-clock fields read as local time, plus hourOffset hours.
quint32 ToUnixTime(const xmapi::FileTime& ft, qint32 hourOffset);
// Appointments: the moment itself (UTC to local and back), seconds since 1970-01-01 UTC.
quint32 ToLocalUnixTime(const xmapi::FileTime& ft);

// FILETIME of a moment (for fixtures and tests); QDateTime without Qt Core in this header.
xmapi::FileTime FileTimeFromUnix(qint64 secondsSince1970);
