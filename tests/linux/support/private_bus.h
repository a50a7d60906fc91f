#pragma once
// A session bus of the test's own (dbus-daemon), with no services to activate.
#include <QDBusConnection>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

namespace nubrio::testing {

class PrivateBus {
public:
    PrivateBus() {
        const QString config = directory_.filePath(QStringLiteral("bus.conf"));
        QFile file(config);
        if (!file.open(QIODevice::WriteOnly)) return;
        file.write(R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig><type>session</type><listen>unix:tmpdir=/tmp</listen>
<policy context="default"><allow send_destination="*" eavesdrop="true"/><allow eavesdrop="true"/><allow own="*"/></policy>
</busconfig>)");
        file.close();
        daemon_.start(QStringLiteral("dbus-daemon"), {QStringLiteral("--config-file=") + config,
                                                      QStringLiteral("--nofork"), QStringLiteral("--print-address=1")});
        if (!daemon_.waitForStarted(10000)) return;
        QElapsedTimer clock;
        clock.start();
        while (!daemon_.canReadLine() && daemon_.state() != QProcess::NotRunning && clock.elapsed() < 10000)
            daemon_.waitForReadyRead(100);
        address_ = QString::fromUtf8(daemon_.readLine()).trimmed();
    }
    ~PrivateBus() {
        for (const QString& name : names_) QDBusConnection::disconnectFromBus(name);
        if (daemon_.state() != QProcess::NotRunning) {
            daemon_.terminate();
            daemon_.waitForFinished(10000);
        }
    }
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    bool isRunning() const { return !address_.isEmpty(); }
    QDBusConnection connect(const QString& name) {
        const QString unique = name + QString::number(++counter_);
        names_.push_back(unique);
        return QDBusConnection::connectToBus(address_, unique);
    }

private:
    QTemporaryDir directory_;
    QProcess daemon_;
    QString address_;
    QStringList names_;
    static inline int counter_ = 0;
};

}  // namespace nubrio::testing
