// The body of an appointment import run: reads the selected calendar folders straight from their
// contents tables and sends every appointment with crmaddAppointment as soon as it is read.
#pragma once

#include "exrun.h"

#include <QString>

struct AppointmentRunCounts {
    int imported = 0; // stored by the CRM
    int existing = 0; // the CRM already had them (answer -1)
    int failed = 0;   // not stored (answer 0, or no usable answer)
    int sent = 0;     // processed over all folders
    int skipped = 0;     // items of another kind in the folder: not sent
    int notTried = 0;    // after the connection to the CRM was lost
    int mayBeStored = 0; // failed without an answer after the request had left: the CRM may hold them
};

// The counter lines at the end of a run; the green line is always there.
[[nodiscard]] QString appointmentSummary(const AppointmentRunCounts& counts);

// The body registered in the appointment importer's table. counts, when given, receives the counters.
void appointmentsRunBody(ExRun& run, AppointmentRunCounts* counts = nullptr);
// After a failed logon: the green line with 0.
void appointmentsLogonFailed(ExRun& run);
// The logon of this program: like every importer's, plus the three stored values as debug lines
// (the password masked).
CrmLogonOutcome appointmentsLogon(CrmTransport& transport, const QString& httpLog);
