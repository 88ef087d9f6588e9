#include "importerlauncher.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
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
    const QString path = programPath(importer);
    if (path.isEmpty()) {
        qWarning().noquote() << importerFileName(importer) << "not found";
        return false;
    }
    auto process = std::make_unique<QProcess>();
    // The importer writes its own log files; its standard output and error go where the wizard's
    // go, instead of into pipes nobody reads (and that would break once the wizard has ended).
    process->setProcessChannelMode(QProcess::ForwardedChannels);
    process->start(path, {}, QIODevice::ReadWrite);
    if (!process->waitForStarted(10000)) {
        qWarning().noquote() << path << "could not be started:" << process->errorString();
        return false;
    }
    auto& slot = m_current[indexOf(importer)];
    if (slot)
        m_released.push_back(std::move(slot));
    slot = std::move(process);
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
