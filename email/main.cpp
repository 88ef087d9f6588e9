#include "exjournal.h"
#include "exmailimport.h"
#include "exmainwindow.h"
#include "exprofiledialog.h"
#include "exprogram.h"
#include "kelvor_email.h"

#include <QCoreApplication>
#include <QDebug>

#include <memory>

int main(int argc, char* argv[])
{
    return exRunProgram(argc, argv, QStringLiteral("kelvor_email.log"), [](CrmTransport& transport) {
        auto window = std::make_unique<Kelvor_email>();
        window->setImport(std::make_unique<ExMailImport>(window.get(), transport));
        window->import()->run().setJournalPath(ExJournal::defaultPath());
        // No window without a store to import from: when the logon failed (the file dialog cancelled,
        // or every file unusable, which the file report has said) the program ends at once; when the
        // logon worked but no store could be opened, one message says so first.
        int exitCode = 0;
        if (window->import()->status() && exAnyStoreOpened(window->import()->stores(), window.get())) {
            exPlaceOnScreen(window.get());
            window->show();
            exitCode = QCoreApplication::exec();
        } else {
            qDebug() << "Closing program";
        }
        // The window takes the import object with it; both still write to the log.
        window.reset();
        return exitCode;
    });
}
