#pragma once

#include "eximportertable.h"

// The per-program table of the task importer Kelvor_aufgaben.
[[nodiscard]] ExImporterTable tasksTable();
