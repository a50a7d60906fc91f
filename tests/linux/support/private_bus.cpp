#include "support/private_bus.h"

#include <QDeadlineTimer>
#include <QFile>

namespace nubrio::testing {

PrivateBus::PrivateBus() {
    const QString config = directory_.filePath(QStringLiteral("bus.conf"));
    QFile file(config);
    if (!file.open(QIODevice::WriteOnly)) return;
    file.write(R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig><type>session</type><listen>unix:tmpdir=/tmp</listen>
<policy context="default"><allow send_destination="*" eavesdrop="true"/><allow eavesdrop="true"/><allow own="*"/></policy>
</busconfig>)");
    file.close();
    daemon_.start(QStringLiteral("dbus-daemon"), {QStringLiteral("--config-file=") + config, QStringLiteral("--nofork"),
                                                  QStringLiteral("--print-address=1")});
    if (!daemon_.waitForStarted(10000)) return;
    QDeadlineTimer deadline(15000);
    while (!daemon_.canReadLine() && daemon_.state() != QProcess::NotRunning && !deadline.hasExpired())
        daemon_.waitForReadyRead(100);
    address_ = QString::fromUtf8(daemon_.readLine()).trimmed();
}

PrivateBus::~PrivateBus() {
    for (const QString& name : names_) QDBusConnection::disconnectFromBus(name);
    if (daemon_.state() != QProcess::NotRunning) {
        daemon_.terminate();
        daemon_.waitForFinished(10000);
    }
}

QDBusConnection PrivateBus::connect(const QString& name) {
    const QString unique = name + QString::number(++counter_);
    names_.push_back(unique);
    return QDBusConnection::connectToBus(address_, unique);
}

}  // namespace nubrio::testing
