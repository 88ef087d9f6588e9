// The question a repeated e-mail import asks when the journal knows messages of the selected folders.
#pragma once

#include "mailjournal.h"

class QWidget;

// Shows the dialog "Bereits importiert" (modal to parent) and returns the choice; Enter takes the
// default "Nur fehlende importieren", Escape and closing the dialog cancel.
[[nodiscard]] MailResumeChoice askAlreadyImported(QWidget* parent, int imported, int total);
