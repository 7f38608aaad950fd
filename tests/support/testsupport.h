#pragma once

#include <QString>
#include <QTemporaryDir>

namespace velto::test {

// Points VELTO_HOME at a fresh temporary folder for the life of the object, so a test never
// touches the user's files and tests can run in parallel.
class TemporaryHome {
public:
    TemporaryHome();
    ~TemporaryHome();
    QString path() const { return m_dir.path(); }
    bool isValid() const { return m_dir.isValid(); }

private:
    QTemporaryDir m_dir;
    QByteArray m_previous;
    bool m_hadPrevious = false;
};

// The shared fixtures folder ("../shared/fixtures" beside the checkout), or an empty string
// when it is absent; tests that need it QSKIP with a clear message.
QString fixturesDir();

// Where the build put the executables (the relay server, the simulator).
QString binDir();

} // namespace velto::test
