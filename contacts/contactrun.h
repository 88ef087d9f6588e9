#pragma once

// The body of a contacts import run: reads the selected contacts folders row by row and sends every
// contact either to the personal address book or as a CRM person of a CRM company.

#include "exrun.h"

#include <QString>

// Results of one run (the counters the summary reports).
struct ContactRunCounts {
    int itemsDone = 0;
    // personal address-book mode
    int personalImported = 0;
    int personalExist = 0;
    int personalFailed = 0;
    // company-and-person mode
    int contactsImported = 0;
    int contactsExist = 0;
    int contactsFailed = 0;
    int personsImported = 0;
    int personsExist = 0;
    int personsFailed = 0;
    // both modes
    int skipped = 0;     // items of another kind (distribution lists, items without a class): not sent
    int notTried = 0;    // after the connection to the CRM was lost
    int mayBeStored = 0; // failed without an answer after the request had left: the CRM may hold them
};

// Result readings of the three add operations.
enum class AddOutcome { Imported, Exists, Failed };
[[nodiscard]] AddOutcome readPContactResult(int result);
[[nodiscard]] AddOutcome readCompanyOrPersonResult(int result);

// Summary lines of a finished body.
[[nodiscard]] QString personalSummary(const ContactRunCounts& counts);
[[nodiscard]] QString companySummary(const ContactRunCounts& counts);

// The run body registered in the contacts importer's table. counts, when given, receives the counters.
void contactsRunBody(ExRun& run, ContactRunCounts* counts = nullptr);
