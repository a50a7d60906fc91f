// The tray's side of the StatusNotifierItem protocol on a private session bus, for driving the program
// from a shell script:
//   tray_driver watch FILE                  be the watcher and its host; append "<service> <path> <ns>"
//                                           to FILE for every item that registers (CLOCK_REALTIME ns)
//   tray_driver menu SERVICE PATH           print the item's top-level menu, "<id>\t<label>" per line
//   tray_driver click SERVICE PATH LABEL    click the entry with that label, without waiting for the
//                                           program to return from it (a click may open a modal alert)
// Qt picks its D-Bus tray only when a watcher with a registered host is on the bus when it starts.
#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusContext>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QDateTime>
#include <QFile>
#include <QObject>
#include <QStringList>
#include <QVariantMap>

#include <csignal>
#include <cstdio>
#include <ctime>
#include <optional>
#include <unistd.h>

namespace {

const QString kMenuInterface = QStringLiteral("com.canonical.dbusmenu");
const QString kItemInterface = QStringLiteral("org.kde.StatusNotifierItem");

long long realtimeNs() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

class Watcher : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(QStringList RegisteredStatusNotifierItems READ registeredStatusNotifierItems)
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ isStatusNotifierHostRegistered)
    Q_PROPERTY(int ProtocolVersion READ protocolVersion)

public:
    explicit Watcher(QString file) : file_(std::move(file)) {}

    QStringList registeredStatusNotifierItems() const { return items_; }
    bool isStatusNotifierHostRegistered() const { return true; }
    int protocolVersion() const { return 0; }

public Q_SLOTS:
    void RegisterStatusNotifierItem(const QString& serviceOrPath) {
        const long long when = realtimeNs();
        QString service = serviceOrPath, path = QStringLiteral("/StatusNotifierItem");
        if (serviceOrPath.startsWith(QLatin1Char('/'))) {
            service = message().service();
            path = serviceOrPath;
        }
        items_ << service + path;
        QFile out(file_);
        if (out.open(QIODevice::Append | QIODevice::Text))
            out.write(QStringLiteral("%1 %2 %3\n").arg(service, path).arg(when).toUtf8());
        Q_EMIT StatusNotifierItemRegistered(service + path);
    }
    void RegisterStatusNotifierHost(const QString&) {}

Q_SIGNALS:
    void StatusNotifierItemRegistered(const QString& item);
    void StatusNotifierItemUnregistered(const QString& item);
    void StatusNotifierHostRegistered();

private:
    QString file_;
    QStringList items_;
};

int watch(const QString& file) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        std::fprintf(stderr, "tray_driver: no session bus\n");
        return 1;
    }
    auto* watcher = new Watcher(file);
    if (!bus.registerObject(QStringLiteral("/StatusNotifierWatcher"), watcher,
                            QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals |
                                QDBusConnection::ExportAllProperties) ||
        !bus.registerService(QStringLiteral("org.kde.StatusNotifierWatcher")) ||
        !bus.registerService(QStringLiteral("org.kde.StatusNotifierHost-%1").arg(::getpid()))) {
        std::fprintf(stderr, "tray_driver: %s\n", qPrintable(bus.lastError().message()));
        return 1;
    }
    std::printf("watching\n");
    std::fflush(stdout);
    return QCoreApplication::exec();
}

struct Entry {
    int id;
    QString label;
};

// The item says where its menu is; Qt puts it at /MenuBar.
QString menuPath(const QString& service, const QString& path) {
    if (path != QStringLiteral("auto")) return path;
    QDBusMessage get = QDBusMessage::createMethodCall(service, QStringLiteral("/StatusNotifierItem"),
                                                     QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    get << kItemInterface << QStringLiteral("Menu");
    const QDBusMessage reply = QDBusConnection::sessionBus().call(get, QDBus::Block, 5000);
    if (reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty()) {
        const QVariant value = reply.arguments().at(0).value<QDBusVariant>().variant();
        const QDBusObjectPath object = value.value<QDBusObjectPath>();
        if (!object.path().isEmpty()) return object.path();
    }
    return QStringLiteral("/MenuBar");
}

std::optional<std::vector<Entry>> topLevel(const QString& service, const QString& givenPath) {
    const QString path = menuPath(service, givenPath);
    QDBusMessage call = QDBusMessage::createMethodCall(service, path, kMenuInterface, QStringLiteral("GetLayout"));
    call << 0 << 1 << QStringList{QStringLiteral("label"), QStringLiteral("type")};
    const QDBusMessage reply = QDBusConnection::sessionBus().call(call, QDBus::Block, 5000);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().size() != 2) {
        std::fprintf(stderr, "tray_driver: GetLayout: %s\n", qPrintable(reply.errorMessage()));
        return std::nullopt;
    }
    // (revision, (id, properties, children[variant (id, properties, children)]))
    const QDBusArgument root = reply.arguments().at(1).value<QDBusArgument>();
    std::vector<Entry> entries;
    int rootId;
    QVariantMap rootProperties;
    root.beginStructure();
    root >> rootId >> rootProperties;
    root.beginArray();
    while (!root.atEnd()) {
        QDBusVariant child;
        root >> child;
        const QDBusArgument item = child.variant().value<QDBusArgument>();
        int id;
        QVariantMap properties;
        item.beginStructure();
        item >> id >> properties;
        item.endStructure();
        if (properties.value(QStringLiteral("type")).toString() == QStringLiteral("separator")) continue;
        QString label = properties.value(QStringLiteral("label")).toString();
        label.remove(QLatin1Char('_'));  // mnemonic markers
        entries.push_back({id, label});
    }
    root.endArray();
    root.endStructure();
    return entries;
}

int menu(const QString& service, const QString& path) {
    const auto entries = topLevel(service, path);
    if (!entries) return 1;
    for (const Entry& entry : *entries) std::printf("%d\t%s\n", entry.id, qPrintable(entry.label));
    return 0;
}

int click(const QString& service, const QString& givenPath, const QString& label) {
    const QString path = menuPath(service, givenPath);
    const auto entries = topLevel(service, path);
    if (!entries) return 1;
    for (const Entry& entry : *entries) {
        if (entry.label != label) continue;
        QDBusConnection bus = QDBusConnection::sessionBus();
        QDBusMessage event = QDBusMessage::createMethodCall(service, path, kMenuInterface, QStringLiteral("Event"));
        event << entry.id << QStringLiteral("clicked") << QVariant::fromValue(QDBusVariant(0))
              << static_cast<uint>(QDateTime::currentSecsSinceEpoch());
        event.setDelayedReply(false);
        if (!bus.send(event)) return 1;
        // The bus handles one connection's messages in order: once it answers this, it has the click.
        bus.interface()->serviceOwner(QStringLiteral("org.freedesktop.DBus"));
        return 0;
    }
    std::fprintf(stderr, "tray_driver: no entry \"%s\"\n", qPrintable(label));
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    const QStringList arguments = application.arguments();
    if (arguments.size() == 3 && arguments[1] == QStringLiteral("watch")) return watch(arguments[2]);
    if (arguments.size() == 4 && arguments[1] == QStringLiteral("menu")) return menu(arguments[2], arguments[3]);
    if (arguments.size() == 5 && arguments[1] == QStringLiteral("click"))
        return click(arguments[2], arguments[3], arguments[4]);
    std::fprintf(stderr, "usage: tray_driver watch FILE | menu SERVICE PATH | click SERVICE PATH LABEL\n");
    return 64;
}

#include "tray_driver.moc"
