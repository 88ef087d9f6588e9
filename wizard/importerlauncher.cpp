#include "importerlauncher.h"

#include <QDebug>
#include <QDir>
#include <QCoreApplication>
#include <QFileInfo>
#include <QLocalSocket>
#include <QProcess>
#include <QProcessEnvironment>

namespace
{

struct ImporterProgram {
    const char* baseName;
    const char* debugMessage;
};

const ImporterProgram& programOf(Importer importer)
{
    static constexpr ImporterProgram programs[] = {
        {"Kelvor_email", "E-Mail"},
        {"Kelvor_kontakte", "Conntacts"},
        {"Kelvor_termine", "Appointments"},
        {"Kelvor_aufgaben", "Tasks"},
    };
    return programs[static_cast<int>(importer)];
}

std::size_t indexOf(Importer importer)
{
    return static_cast<std::size_t>(importer);
}

bool isExecutableFile(const QString& path)
{
    const QFileInfo info(path);
    return info.isFile() && info.isExecutable();
}

} // namespace

QString importerFileName(Importer importer)
{
    QString name = QString::fromLatin1(programOf(importer).baseName);
#ifdef Q_OS_WIN
    name += QStringLiteral(".exe");
#endif
    return name;
}

const char* importerDebugMessage(Importer importer)
{
    return programOf(importer).debugMessage;
}

QString findProgram(const QString& fileName, const QString& programDir, const QString& currentDir,
                    const QString& searchPath)
{
    QStringList folders{programDir, currentDir};
    folders += searchPath.split(QDir::listSeparator(), Qt::SkipEmptyParts);
    for (const QString& folder : std::as_const(folders)) {
        if (folder.isEmpty())
            continue;
        const QString candidate = QDir(folder).absoluteFilePath(fileName);
        if (isExecutableFile(candidate))
            return QDir::cleanPath(candidate);
    }
    return {};
}

ImporterLauncher::ImporterLauncher(QString programDir) : m_programDir(std::move(programDir)) {}

ImporterLauncher::~ImporterLauncher()
{
    // The latest program of each button ends with the wizard: ask politely, then insist.
    for (auto& process : m_current) {
        if (!process || process->state() == QProcess::NotRunning)
            continue;
        process->terminate();
        if (!process->waitForFinished(3000)) {
            process->kill();
            process->waitForFinished(3000);
        }
    }
    // Programs of earlier presses keep running after the wizard has gone. Destroying their
    // process objects would kill them, so the objects of those still running are given up.
    for (auto& process : m_released) {
        if (process && process->state() != QProcess::NotRunning)
            (void)process.release();
    }
}

QString ImporterLauncher::programPath(Importer importer) const
{
    return findProgram(importerFileName(importer), m_programDir, QDir::currentPath(),
                       QProcessEnvironment::systemEnvironment().value(QStringLiteral("PATH")));
}

bool ImporterLauncher::launch(Importer importer)
{
    pruneReleased();
    const auto& current = m_current[indexOf(importer)];
    if (current && current->state() != QProcess::NotRunning) {
        // Still starting up (its listener not yet there) or not reachable: it is not started twice.
        if (!raise(importer))
            qWarning().noquote() << importerFileName(importer) << "is running; it could not be brought forward";
        return true;
    }
    const QString path = programPath(importer);
    if (path.isEmpty()) {
        qWarning().noquote() << importerFileName(importer) << "not found";
        return false;
    }
    auto process = std::make_unique<QProcess>();
    // The importer writes its own log files; its standard output and error go where the wizard's
    // go, instead of into pipes nobody reads (and that would break once the wizard has ended).
    process->setProcessChannelMode(QProcess::ForwardedChannels);
    // A name of this wizard and this start: no other program's request can reach it.
    const QString raiseName = QStringLiteral("kelvor-%1-%2-%3")
                                  .arg(QCoreApplication::applicationPid())
                                  .arg(QString::fromLatin1(programOf(importer).baseName))
                                  .arg(++m_launches);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QString::fromLatin1(raiseVariable), raiseName);
    process->setProcessEnvironment(environment);
    process->start(path, {}, QIODevice::ReadWrite);
    if (!process->waitForStarted(10000)) {
        qWarning().noquote() << path << "could not be started:" << process->errorString();
        return false;
    }
    auto& slot = m_current[indexOf(importer)];
    if (slot)
        m_released.push_back(std::move(slot));
    slot = std::move(process);
    m_raiseName[indexOf(importer)] = raiseName;
    return true;
}

bool ImporterLauncher::raise(Importer importer)
{
    const auto& current = m_current[indexOf(importer)];
    if (!current || current->state() == QProcess::NotRunning)
        return false;
    QLocalSocket socket;
    socket.connectToServer(m_raiseName[indexOf(importer)]);
    // A local connection is made at once, also while the importer is busy: its listener queues it.
    if (!socket.waitForConnected(1000))
        return false;
    socket.write("raise\n");
    socket.waitForBytesWritten(1000);
    socket.disconnectFromServer();
    return true;
}

QProcess* ImporterLauncher::process(Importer importer) const
{
    return m_current[indexOf(importer)].get();
}

void ImporterLauncher::pruneReleased()
{
    for (auto it = m_released.begin(); it != m_released.end();) {
        if ((*it)->state() == QProcess::NotRunning)
            it = m_released.erase(it);
        else
            ++it;
    }
}
