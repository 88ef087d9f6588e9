#include "exmailimport.h"
#include "exprogram.h"
#include "kelvor_email.h"

#include <QCoreApplication>

#include <memory>

int main(int argc, char* argv[])
{
    return exRunProgram(argc, argv, QStringLiteral("kelvor_email.log"), [](CrmTransport& transport) {
        auto window = std::make_unique<Kelvor_email>();
        // The window is shown also when the stores cannot be opened: its tree is then empty.
        window->setImport(std::make_unique<ExMailImport>(window.get(), transport));
        window->show();
        const int exitCode = QCoreApplication::exec();
        // The window takes the import object with it; both still write to the log.
        window.reset();
        return exitCode;
    });
}
