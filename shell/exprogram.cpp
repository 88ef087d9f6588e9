#include "exprogram.h"

#include "crmlogon.h"
#include "crmsettings.h"
#include "crmtransport.h"
#include "exmainwindow.h"
#include "exmessagelog.h"
#include "exoutlook.h"
#include "exprofiledialog.h"
#include "exraise.h"

#include <QApplication>
#include <QDebug>
#include <QDir>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>
#include <QPushButton>

#include <memory>

CrmLogonOutcome exStoredSettingsLogon(CrmTransport& transport, const QString& httpLog)
{
    return crmLogonOutcome(transport, readCrmSettings(), httpLog.toLocal8Bit());
}

namespace {

ExScanProfile scanProfileOf(const ExImporterTable& table)
{
    ExScanProfile profile;
    profile.mode = ExScanProfile::Mode::ItemClass;
    profile.folderClass = table.folderClass;
    profile.summaryLabel = table.folderLogLabel;
    return profile;
}

} // namespace

int exRunProgram(int argc, char* argv[], const QString& messageLog, const std::function<int(CrmTransport&)>& run)
{
    installMessageLog(messageLog);
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
        const CurlGlobal curl;
        CrmSettingsTrustStore trust;
        CrmTransport transport(trust);
        exRegisterProfileDialog();
        // Listening from the start: a request that arrives during the scan is served once it is over.
        const ExRaiseServer raiseServer;
        exitCode = run(transport);
    }
    uninstallMessageLog();
    return exitCode;
}

int exRunImporter(int argc, char* argv[], const ExImporterTable& programTable)
{
    ExImporterTable table = programTable;
    if (table.journalPath.isEmpty())
        table.journalPath = ExJournal::defaultPath();
    return exRunProgram(argc, argv, table.messageLog, [&table](CrmTransport& transport) {
        int exitCode = 0;
        auto window = std::make_unique<ExMainWindow>(table, transport);
        auto outlook = std::make_unique<ExOutlook>(static_cast<quintptr>(window->winId()), scanProfileOf(table));
        if (outlook->status()) {
            window->pushButton->setEnabled(false);
            exPlaceOnScreen(window.get());
            window->show();
            QObject::connect(outlook.get(), &ExOutlook::Ready, window.get(), &ExMainWindow::ReadyImport);
            outlook->ScanFolders();
            // Every file skipped: one message, and the program ends instead of showing an empty list.
            if (exAnyStoreOpened(outlook->stores(), window.get()))
                exitCode = QCoreApplication::exec();
        } else {
            qDebug() << "Closing program";
        }

        // The worker reads through the folder handles: it is stopped and waited for before the Outlook
        // access goes. The log is closed last so that the logoff messages still reach it.
        window->destroyImporter();
        outlook.reset();
        window.reset();
        return exitCode;
    });
}
