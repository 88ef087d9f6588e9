// Reading the appointments of one Outlook calendar folder into crmAppointmentItem records.
// Everything comes from the folder's contents table; no message is opened. Runs in the import
// worker thread, once per selected folder.
#pragma once

#include "crmitems.h"
#include "xmapi.h"

#include <array>
#include <optional>

// The 14 property tags of one folder, which are also the columns of its contents table:
// 11 named properties (with the types they are read as), PR_SUBJECT_W, PR_BODY_W, and Outlook's
// own all-day flag (a named property too, resolved with the others).
using CalendarTags = std::array<xmapi::PropTag, 14>;

enum CalendarColumn : std::size_t {
    CalStart = 0,        // PidLidAppointmentStartWhole
    CalEnd = 1,          // PidLidAppointmentEndWhole
    CalReminderTime = 2, // PidLidReminderSignalTime
    CalRecurring = 3,    // PidLidRecurring (not interpreted)
    CalReminderSet = 4,  // PidLidReminderSet
    CalPrivate = 5,      // PidLidPrivate
    CalKeywords = 6,     // "Keywords" (categories)
    CalLocation = 7,     // PidLidLocation
    CalBusyStatus = 8,   // PidLidBusyStatus
    CalToAttendees = 9,  // PidLidToAttendeesString (not interpreted)
    CalCcAttendees = 10, // PidLidCcAttendeesString (not interpreted)
    CalSubject = 11,     // PR_SUBJECT_W
    CalBody = 12,        // PR_BODY_W
    CalAllDay = 13,      // PidLidAppointmentSubType: the all-day check box of Outlook's form
};

// Resolves the 12 names on the folder without creating any (a name the store does not know
// gets id 0 and never matches a column) and fills `tags`, logging each resolved tag. Returns the
// result of the resolution; on a negative one `tags` is left as it was.
[[nodiscard]] xmapi::HResult GetCalenderProps(xmapi::Folder& folder, CalendarTags& tags);

// GetCalenderProps for the run: logs the result ("GetCalenderProps failed" on failure) and the 14
// tags. No tags on failure; `hr` receives the result either way.
[[nodiscard]] std::optional<CalendarTags> GetPropIDS(xmapi::Folder& folder, xmapi::HResult& hr);

// One record from one contents-table row with the columns of `tags`; starts from a fresh record
// so no value carries over from the previous row.
[[nodiscard]] crmAppointmentItem ReadAppointmentRow(const xmapi::Row& row, const CalendarTags& tags);
