#include "support/status_notifier_watcher.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <unistd.h>

namespace nubrio::e2e {

namespace {
const QString kWatcherService = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString kWatcherPath = QStringLiteral("/StatusNotifierWatcher");
const QString kDefaultItemPath = QStringLiteral("/StatusNotifierItem");
}  // namespace

StatusNotifierWatcher::StatusNotifierWatcher(QDBusConnection bus)
    : bus_(std::move(bus)), owners_(QString(), bus_, QDBusServiceWatcher::WatchForUnregistration) {
    connect(&owners_, &QDBusServiceWatcher::serviceUnregistered, this, &StatusNotifierWatcher::ownerGone);
}

StatusNotifierWatcher::~StatusNotifierWatcher() {
    if (!bus_.isConnected()) return;
    bus_.unregisterObject(kWatcherPath);
    bus_.unregisterService(kWatcherService);
    if (!hostName_.isEmpty()) bus_.unregisterService(hostName_);
}

QString StatusNotifierWatcher::start() {
    if (!bus_.isConnected()) return QStringLiteral("not connected to the session bus: ") + bus_.lastError().message();
    if (!bus_.registerObject(kWatcherPath, this,
                             QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals |
                                 QDBusConnection::ExportAllProperties))
        return QStringLiteral("cannot export the watcher: ") + bus_.lastError().message();
    if (!bus_.registerService(kWatcherService))
        return QStringLiteral("cannot own %1: %2").arg(kWatcherService, bus_.lastError().message());
    hostName_ = QStringLiteral("org.kde.StatusNotifierHost-%1").arg(::getpid());
    if (!bus_.registerService(hostName_))
        return QStringLiteral("cannot own %1: %2").arg(hostName_, bus_.lastError().message());
    return {};
}

QStringList StatusNotifierWatcher::registeredStatusNotifierItems() const {
    QStringList names;
    for (const Item& item : items_) names << item.service + item.path;
    return names;
}

uint StatusNotifierWatcher::ownerPid(const Item& item) const {
    const auto reply = bus_.interface()->servicePid(item.owner);
    return reply.isValid() ? reply.value() : 0;
}

// Items register either a bus name (their object then is /StatusNotifierItem) or an object path on
// the connection that calls.
void StatusNotifierWatcher::RegisterStatusNotifierItem(const QString& serviceOrPath) {
    const QString sender = calledFromDBus() ? message().service() : QString();
    Item item;
    item.owner = sender;
    if (serviceOrPath.startsWith(QLatin1Char('/'))) {
        item.service = sender;
        item.path = serviceOrPath;
    } else {
        item.service = serviceOrPath;
        item.path = kDefaultItemPath;
    }
    if (item.owner.isEmpty()) item.owner = item.service;
    std::erase_if(items_, [&](const Item& known) { return known.service == item.service && known.path == item.path; });
    items_.push_back(item);
    owners_.addWatchedService(item.owner);
    if (item.service != item.owner) owners_.addWatchedService(item.service);
    Q_EMIT StatusNotifierItemRegistered(item.service + item.path);
}

void StatusNotifierWatcher::RegisterStatusNotifierHost(const QString&) { Q_EMIT StatusNotifierHostRegistered(); }

void StatusNotifierWatcher::ownerGone(const QString& service) {
    std::vector<Item> gone;
    std::erase_if(items_, [&](const Item& item) {
        if (item.owner != service && item.service != service) return false;
        gone.push_back(item);
        return true;
    });
    for (const Item& item : gone) Q_EMIT StatusNotifierItemUnregistered(item.service + item.path);
}

}  // namespace nubrio::e2e
