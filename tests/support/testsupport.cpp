#include "testsupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

namespace velto::test {

TemporaryHome::TemporaryHome()
{
    m_hadPrevious = qEnvironmentVariableIsSet("VELTO_HOME");
    m_previous = qgetenv("VELTO_HOME");
    qputenv("VELTO_HOME", QFile::encodeName(m_dir.path()));
}

TemporaryHome::~TemporaryHome()
{
    if (m_hadPrevious)
        qputenv("VELTO_HOME", m_previous);
    else
        qunsetenv("VELTO_HOME");
}

QString fixturesDir()
{
    const QString shared = qEnvironmentVariable("VELTO_SHARED_DIR");
    const QString dir = shared.isEmpty() ? QString() : QDir(shared).filePath(QStringLiteral("fixtures"));
    return !dir.isEmpty() && QFileInfo(dir).isDir() ? QDir::cleanPath(dir) : QString();
}

QString binDir()
{
    const QString fromEnv = qEnvironmentVariable("VELTO_BIN_DIR");
    return fromEnv.isEmpty() ? QCoreApplication::applicationDirPath() : fromEnv;
}

} // namespace velto::test
