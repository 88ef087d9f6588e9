#pragma once

#include "eximportertable.h"

// The contacts importer's table: texts, resources, log names and the run body.
[[nodiscard]] ExImporterTable contactsTable();
