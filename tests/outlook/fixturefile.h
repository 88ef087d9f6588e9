// Writes a store fixture to a temporary file and points KELVOR_STORE at it while alive.
#pragma once

#include <QByteArray>
#include <QTemporaryFile>
#include <QtGlobal>

class FixtureFile {
public:
    explicit FixtureFile(const QByteArray& json)
    {
        m_file.open();
        m_file.write(json);
        m_file.flush();
        qputenv("KELVOR_STORE", m_file.fileName().toLocal8Bit());
    }
    ~FixtureFile() { qunsetenv("KELVOR_STORE"); }
    QString path() const { return m_file.fileName(); }

private:
    QTemporaryFile m_file;
};
