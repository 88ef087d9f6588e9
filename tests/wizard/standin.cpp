// Stands in for an importer in the launch tests: records what it was started with into
// "<current folder>/started-<pid>.txt" (program name, then the password it reads from the stored
// settings) and runs until it is ended.
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const QSettings settings(QStringLiteral("Kelvor GmbH"), QStringLiteral("Outlook Importer"));
    QFile out(QDir::current().filePath(QStringLiteral("started-%1.txt").arg(QCoreApplication::applicationPid())));
    if (!out.open(QIODevice::WriteOnly))
        return 1;
    out.write(QFileInfo(QCoreApplication::applicationFilePath()).fileName().toUtf8() + '\n');
    out.write(settings.value(QStringLiteral("CRM_KNW")).toString().toUtf8() + '\n');
    out.close();
    return app.exec();
}
