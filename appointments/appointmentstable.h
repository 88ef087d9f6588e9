#pragma once

#include "eximportertable.h"

// The per-program table of the appointment importer Kelvor_termine.
[[nodiscard]] ExImporterTable appointmentsTable();
