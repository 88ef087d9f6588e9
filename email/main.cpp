#include "exhttpn.h"
#include "exmailimport.h"
#include "exmessagelog.h"
#include "exprofiledialog.h"
#include "kelvor_email.h"

#include <QApplication>
#include <QDebug>
#include <QDir>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

#include <memory>

int main(int argc, char* argv[])
{
    installMessageLog(QStringLiteral("kelvor_email.log"));
    int exitCode = 0;
    {
        QApplication app(argc, argv);
        QCoreApplication::addLibraryPath(QCoreApplication::applicationDirPath());
        qDebug() << QDir::currentPath();
        // Qt's own dialogs (the data-file dialog) speak German like the rest of the program.
        QTranslator qtTranslator;
        if (qtTranslator.load(QLocale(QLocale::German, QLocale::Germany), QStringLiteral("qtbase"),
                              QStringLiteral("_"), QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
            QCoreApplication::installTranslator(&qtTranslator);
        ensureCurlGlobalInit();
        exRegisterProfileDialog();

        auto window = std::make_unique<Kelvor_email>();
        // The window is shown also when the stores cannot be opened: its tree is then empty.
        window->setImport(std::make_unique<ExMailImport>(window.get()));
        window->show();
        exitCode = app.exec();
        // The window takes the import object with it; both still write to the log.
        window.reset();
    }
    uninstallMessageLog();
    return exitCode;
}
