// Stands in for an importer in the launch tests: records what it was started with into
// "<current folder>/started-<pid>.txt" (program name, then the password it reads from the stored
// settings), adds a line "raised" each time it is asked to come forward (through the importers' own
// listener), and runs until it is ended.
#include "exraise.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QWidget>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    const QSettings settings(QStringLiteral("Kelvor GmbH"), QStringLiteral("Outlook Importer"));
    QFile out(QDir::current().filePath(QStringLiteral("started-%1.txt").arg(QCoreApplication::applicationPid())));
    if (!out.open(QIODevice::WriteOnly))
        return 1;
    out.write(QFileInfo(QCoreApplication::applicationFilePath()).fileName().toUtf8() + '\n');
    out.write(settings.value(QStringLiteral("CRM_KNW")).toString().toUtf8() + '\n');
    out.flush();
    QWidget window;
    window.show();
    ExRaiseServer raiseServer;
    QObject::connect(&raiseServer, &ExRaiseServer::raised, [&out] {
        out.write("raised\n");
        out.flush();
    });
    return app.exec();
}
