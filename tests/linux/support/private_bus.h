#pragma once
// A session bus of the test's own, with no services to activate: fakes of the desktop's services
// take their names on it, and the code under test gets a connection to it.
#include <QDBusConnection>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

namespace nubrio::testing {

class PrivateBus {
public:
    PrivateBus();  // starts dbus-daemon; isRunning() says whether that worked
    ~PrivateBus();
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    bool isRunning() const { return !address_.isEmpty(); }
    const QString& address() const { return address_; }
    // A new connection of its own, named after `name`; closed with the bus.
    QDBusConnection connect(const QString& name);

private:
    QTemporaryDir directory_;
    QProcess daemon_;
    QString address_;
    QStringList names_;
    static inline int counter_ = 0;
};

}  // namespace nubrio::testing
