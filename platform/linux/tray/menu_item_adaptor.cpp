#include "platform/linux/tray/menu_item_adaptor.h"

#include <QCoreApplication>
#include <QDBusAbstractAdaptor>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QMetaMethod>
#include <QThread>
#include <array>

namespace nubrio::linux_platform {

namespace {

const QString kPath = QStringLiteral("/StatusNotifierItem");
// Where Qt's own item moves: no host looks there.
const QString kQtPath = QStringLiteral("/StatusNotifierItem_Qt");
const QString kInterface = QStringLiteral("org.kde.StatusNotifierItem");
const QString kProperties = QStringLiteral("org.freedesktop.DBus.Properties");
// Qt names the bus connection of each of its tray icons after the icon's service,
// org.kde.StatusNotifierItem-<pid>-<n>, counting from 1; a look at whether a tray is there counts too.
constexpr int kMostIcons = 256;

QObject* statusNotifierAdaptor(QObject* object) {
    for (QObject* child : object->children()) {
        if (!qobject_cast<QDBusAbstractAdaptor*>(child)) continue;
        const QMetaObject* meta = child->metaObject();
        const int info = meta->indexOfClassInfo("D-Bus Interface");
        if (info >= 0 && kInterface == QLatin1String(meta->classInfo(info).value())) return child;
    }
    return nullptr;
}

void replyError(const QDBusConnection& connection, const QDBusMessage& message, QDBusError::ErrorType type,
                const QString& text) {
    connection.send(message.createErrorReply(type, text));
}

}  // namespace

std::unique_ptr<MenuItemAdaptor> MenuItemAdaptor::takeOver(bool declineActivate) {
    const qint64 pid = QCoreApplication::applicationPid();
    QString newest;
    for (int n = 1; n <= kMostIcons; ++n) {
        const QString name = QStringLiteral("org.kde.StatusNotifierItem-%1-%2").arg(pid).arg(n);
        const QDBusConnection connection(name);
        if (connection.isConnected() && connection.objectRegisteredAt(kPath)) newest = name;
    }
    if (newest.isEmpty()) return nullptr;
    QDBusConnection connection(newest);
    QObject* tray = connection.objectRegisteredAt(kPath);
    QObject* qtAdaptor = statusNotifierAdaptor(tray);
    if (qobject_cast<MenuItemAdaptor*>(tray) || !qtAdaptor) return nullptr;
    connection.unregisterObject(kPath);
    if (!connection.registerObject(kQtPath, tray)) {
        connection.registerObject(kPath, tray);
        return nullptr;
    }
    std::unique_ptr<MenuItemAdaptor> ours(new MenuItemAdaptor(newest, qtAdaptor, declineActivate));
    if (connection.registerVirtualObject(kPath, ours.get())) return ours;
    connection.unregisterObject(kQtPath);
    connection.registerObject(kPath, tray);
    return nullptr;
}

MenuItemAdaptor::MenuItemAdaptor(QString connection, QObject* qtAdaptor, bool declineActivate)
    : connection_(std::move(connection)), qtAdaptor_(qtAdaptor), declineActivate_(declineActivate) {
    // Qt's adaptor still emits the item's signals, but hosts listen at the item's path: they go out
    // from here.
    const QMetaObject* meta = qtAdaptor_->metaObject();
    const QMetaMethod relay = metaObject()->method(metaObject()->indexOfSlot("relaySignal()"));
    for (int i = meta->methodOffset(); i < meta->methodCount(); ++i)
        if (meta->method(i).methodType() == QMetaMethod::Signal) connect(qtAdaptor_, meta->method(i), this, relay);
}

MenuItemAdaptor::~MenuItemAdaptor() {
    // Qt's item ends by clearing its path, where this one is.
    QDBusConnection(connection_).unregisterObject(kPath);
}

void MenuItemAdaptor::relaySignal() {
    const QMetaMethod signal = qtAdaptor_->metaObject()->method(senderSignalIndex());
    QDBusMessage message = QDBusMessage::createSignal(kPath, kInterface, QString::fromLatin1(signal.name()));
    // The one signal with an argument carries the status, which the item holds by the time it is sent.
    if (signal.name() == "NewStatus") message << qtAdaptor_->property("Status").toString();
    QDBusConnection(connection_).send(message);
}

QString MenuItemAdaptor::introspect(const QString&) const {
    const QMetaObject* meta = qtAdaptor_->metaObject();
    const int info = meta->indexOfClassInfo("D-Bus Introspection");
    return info >= 0 ? QString::fromUtf8(meta->classInfo(info).value()) : QString();
}

bool MenuItemAdaptor::handleMessage(const QDBusMessage& message, const QDBusConnection& connection) {
    if (message.type() != QDBusMessage::MethodCallMessage) return false;
    // Qt's item is read and called in its own thread, whichever thread the bus delivers in.
    if (QThread::currentThread() != thread()) {
        QMetaObject::invokeMethod(this, [this, message, connection] { handleMessage(message, connection); },
                                  Qt::QueuedConnection);
        return true;
    }
    if (message.interface() == kProperties) return property(message, connection);
    if (!message.interface().isEmpty() && message.interface() != kInterface) return false;
    if (declineActivate_ && message.member() == QLatin1String("Activate")) {
        // Plasma opens the menu at the icon when it fails.
        replyError(connection, message, QDBusError::NotSupported, QStringLiteral("The item is a menu"));
        return true;
    }
    return forward(message, connection);
}

bool MenuItemAdaptor::property(const QDBusMessage& message, const QDBusConnection& connection) const {
    const QList<QVariant> arguments = message.arguments();
    const QString interface = arguments.value(0).toString();
    if (arguments.isEmpty() || (!interface.isEmpty() && interface != kInterface)) {
        replyError(connection, message, QDBusError::UnknownInterface, interface);
        return true;
    }
    const QMetaObject* meta = qtAdaptor_->metaObject();
    auto read = [&](const QString& name) {
        return name == QLatin1String("ItemIsMenu") ? QVariant(true) : qtAdaptor_->property(name.toUtf8().constData());
    };
    if (message.member() == QLatin1String("Get") && arguments.size() == 2) {
        const QString name = arguments[1].toString();
        const QVariant value = meta->indexOfProperty(name.toUtf8().constData()) >= 0 ? read(name) : QVariant();
        if (!value.isValid())
            replyError(connection, message, QDBusError::UnknownProperty, name);
        else
            connection.send(message.createReply(QVariant::fromValue(QDBusVariant(value))));
        return true;
    }
    if (message.member() == QLatin1String("GetAll") && arguments.size() == 1) {
        QVariantMap all;
        for (int i = meta->propertyOffset(); i < meta->propertyCount(); ++i) {
            const QString name = QString::fromLatin1(meta->property(i).name());
            all.insert(name, read(name));
        }
        connection.send(message.createReply(all));
        return true;
    }
    if (message.member() == QLatin1String("Set")) {
        replyError(connection, message, QDBusError::PropertyReadOnly, arguments.value(1).toString());
        return true;
    }
    return false;
}

// Calls Qt's adaptor's slot of that name and arguments, as Qt would have.
bool MenuItemAdaptor::forward(const QDBusMessage& message, const QDBusConnection& connection) {
    const QList<QVariant> arguments = message.arguments();
    const QMetaObject* meta = qtAdaptor_->metaObject();
    const QByteArray member = message.member().toLatin1();
    for (int i = meta->methodOffset(); i < meta->methodCount(); ++i) {
        const QMetaMethod method = meta->method(i);
        if (method.methodType() != QMetaMethod::Slot || method.name() != member ||
            method.parameterCount() != arguments.size() || arguments.size() > 4)
            continue;
        std::array<QVariant, 4> values;
        std::array<QByteArray, 4> types;
        std::array<QGenericArgument, 4> generic;
        for (qsizetype a = 0; a < arguments.size(); ++a) {
            values[a] = arguments[a];
            types[a] = method.parameterTypeName(a);
            if (!values[a].convert(method.parameterMetaType(a))) {
                replyError(connection, message, QDBusError::InvalidArgs, message.member());
                return true;
            }
            generic[a] = QGenericArgument(types[a].constData(), values[a].constData());
        }
        method.invoke(qtAdaptor_, Qt::DirectConnection, generic[0], generic[1], generic[2], generic[3]);
        connection.send(message.createReply());
        return true;
    }
    return false;
}

}  // namespace nubrio::linux_platform
