#pragma once
// The tray side of the StatusNotifierItem protocol, inside the test process: the watcher that
// programs register their items with, which also declares itself the host that shows them. Qt
// chooses its D-Bus tray only when it finds a watcher with a registered host at start.
#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusServiceWatcher>
#include <QObject>
#include <QString>
#include <QStringList>
#include <vector>

namespace nubrio::e2e {

class StatusNotifierWatcher : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(QStringList RegisteredStatusNotifierItems READ registeredStatusNotifierItems)
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ isStatusNotifierHostRegistered)
    Q_PROPERTY(int ProtocolVersion READ protocolVersion)

public:
    struct Item {
        QString service;  // the bus name to call, as registered
        QString path;     // the object path of the item
        QString owner;    // the unique name of the connection that registered it
    };

    explicit StatusNotifierWatcher(QDBusConnection bus);
    ~StatusNotifierWatcher() override;

    // Takes the watcher's name and object and registers our own host; an error text on failure.
    QString start();
    const std::vector<Item>& items() const { return items_; }
    // The process behind a registered item's connection; 0 when unknown.
    uint ownerPid(const Item& item) const;

    QStringList registeredStatusNotifierItems() const;
    bool isStatusNotifierHostRegistered() const { return true; }
    int protocolVersion() const { return 0; }

public Q_SLOTS:
    void RegisterStatusNotifierItem(const QString& serviceOrPath);
    void RegisterStatusNotifierHost(const QString& service);

Q_SIGNALS:
    void StatusNotifierItemRegistered(const QString& item);
    void StatusNotifierItemUnregistered(const QString& item);
    void StatusNotifierHostRegistered();
    void StatusNotifierHostUnregistered();

private:
    void ownerGone(const QString& service);

    QDBusConnection bus_;
    QDBusServiceWatcher owners_;
    std::vector<Item> items_;
    QString hostName_;
};

}  // namespace nubrio::e2e
