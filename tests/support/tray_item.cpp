#include "support/tray_item.h"

#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QDateTime>
#include <sstream>

namespace nubrio::e2e {

namespace {

const QString kItemInterface = QStringLiteral("org.kde.StatusNotifierItem");
const QString kMenuInterface = QStringLiteral("com.canonical.dbusmenu");
constexpr int kCallTimeoutMs = 10000;

void setError(QString* error, const QString& text) {
    if (error) *error = text;
}

// Waits for the answer while still dispatching our own incoming calls (the watcher lives here too).
QDBusMessage call(QDBusConnection& bus, const QDBusMessage& message) {
    return bus.call(message, QDBus::BlockWithGui, kCallTimeoutMs);
}

std::vector<IconPixmap> readPixmaps(const QDBusArgument& argument) {
    std::vector<IconPixmap> pixmaps;
    argument.beginArray();
    while (!argument.atEnd()) {
        IconPixmap pixmap;
        argument.beginStructure();
        argument >> pixmap.width >> pixmap.height >> pixmap.argb;
        argument.endStructure();
        pixmaps.push_back(pixmap);
    }
    argument.endArray();
    return pixmaps;
}

QDBusArgument asArgument(const QVariant& value) { return value.value<QDBusArgument>(); }

MenuEntry readEntry(const QDBusArgument& argument, std::vector<MenuEntry>* children) {
    MenuEntry entry;
    QVariantMap properties;
    argument.beginStructure();
    argument >> entry.id >> properties;
    argument.beginArray();
    while (!argument.atEnd()) {
        QDBusVariant child;
        argument >> child;
        ++entry.childCount;
        if (children) children->push_back(readEntry(asArgument(child.variant()), nullptr));
    }
    argument.endArray();
    argument.endStructure();

    if (properties.contains(QStringLiteral("type"))) entry.type = properties.value(QStringLiteral("type")).toString();
    entry.label = properties.value(QStringLiteral("label")).toString();
    if (properties.contains(QStringLiteral("enabled")))
        entry.enabled = properties.value(QStringLiteral("enabled")).toBool();
    if (properties.contains(QStringLiteral("visible")))
        entry.visible = properties.value(QStringLiteral("visible")).toBool();
    entry.toggleType = properties.value(QStringLiteral("toggle-type")).toString();
    if (properties.contains(QStringLiteral("toggle-state")))
        entry.toggleState = properties.value(QStringLiteral("toggle-state")).toInt();
    return entry;
}

}  // namespace

bool IconPixmap::painted() const {
    if (width <= 0 || height <= 0 || argb.size() != qsizetype(width) * height * 4) return false;
    for (qsizetype pixel = 0; pixel < argb.size(); pixel += 4)
        if (static_cast<unsigned char>(argb[pixel]) != 0) return true;  // alpha comes first
    return false;
}

std::string MenuEntry::describe() const {
    std::ostringstream text;
    text << "#" << id << " ";
    if (isSeparator()) {
        text << "(separator)";
    } else {
        text << '"' << label.toStdString() << '"';
        if (!enabled) text << " disabled";
        if (!toggleType.isEmpty()) text << " " << toggleType.toStdString() << "=" << toggleState;
    }
    if (!visible) text << " hidden";
    if (childCount) text << " with " << childCount << " children";
    return text.str();
}

std::string describe(const std::vector<MenuEntry>& menu) {
    std::ostringstream text;
    for (std::size_t index = 0; index < menu.size(); ++index)
        text << "\n  " << index << ": " << menu[index].describe();
    return text.str();
}

TrayItem::TrayItem(QDBusConnection bus, QString service, QString path)
    : bus_(std::move(bus)), service_(std::move(service)), path_(std::move(path)) {}

std::optional<QVariant> TrayItem::property(const QString& name, QString* error) const {
    QDBusMessage get = QDBusMessage::createMethodCall(service_, path_, QStringLiteral("org.freedesktop.DBus.Properties"),
                                                      QStringLiteral("Get"));
    get << kItemInterface << name;
    QDBusConnection bus = bus_;
    const QDBusMessage reply = call(bus, get);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
        setError(error, QStringLiteral("Get %1: %2").arg(name, reply.errorMessage()));
        return std::nullopt;
    }
    return reply.arguments().front().value<QDBusVariant>().variant();
}

std::optional<std::vector<IconPixmap>> TrayItem::iconPixmaps(QString* error) const {
    const auto value = property(QStringLiteral("IconPixmap"), error);
    if (!value) return std::nullopt;
    if (value->userType() != qMetaTypeId<QDBusArgument>()) {
        setError(error, QStringLiteral("IconPixmap is not a(iiay)"));
        return std::nullopt;
    }
    return readPixmaps(asArgument(*value));
}

std::optional<ToolTip> TrayItem::toolTip(QString* error) const {
    const auto value = property(QStringLiteral("ToolTip"), error);
    if (!value) return std::nullopt;
    if (value->userType() != qMetaTypeId<QDBusArgument>()) {
        setError(error, QStringLiteral("ToolTip is not (sa(iiay)ss)"));
        return std::nullopt;
    }
    const QDBusArgument argument = asArgument(*value);
    ToolTip tip;
    argument.beginStructure();
    argument >> tip.iconName;
    readPixmaps(argument);
    argument >> tip.title >> tip.text;
    argument.endStructure();
    return tip;
}

std::optional<QString> TrayItem::menuPath(QString* error) const {
    const auto value = property(QStringLiteral("Menu"), error);
    if (!value) return std::nullopt;
    const QString path = value->value<QDBusObjectPath>().path();
    if (path.isEmpty() || path == QLatin1String("/")) {
        setError(error, QStringLiteral("the item has no menu"));
        return std::nullopt;
    }
    return path;
}

std::optional<std::vector<MenuEntry>> TrayItem::menu(QString* error) const {
    const auto path = menuPath(error);
    if (!path) return std::nullopt;
    return menuAt(*path, error);
}

std::optional<std::vector<MenuEntry>> TrayItem::menuAt(const QString& menuPath, QString* error) const {
    QDBusMessage getLayout = QDBusMessage::createMethodCall(service_, menuPath, kMenuInterface, QStringLiteral("GetLayout"));
    getLayout << 0 << -1 << QStringList();
    QDBusConnection bus = bus_;
    const QDBusMessage reply = call(bus, getLayout);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().size() != 2) {
        setError(error, QStringLiteral("GetLayout: ") + reply.errorMessage());
        return std::nullopt;
    }
    std::vector<MenuEntry> entries;
    readEntry(asArgument(reply.arguments().at(1)), &entries);
    return entries;
}

bool TrayItem::click(const QString& label, QString* error) const {
    const auto path = menuPath(error);
    if (!path) return false;
    const auto entries = menuAt(*path, error);
    if (!entries) return false;
    const auto entry = std::find_if(entries->begin(), entries->end(), [&](const MenuEntry& candidate) {
        return !candidate.isSeparator() && candidate.label == label;
    });
    if (entry == entries->end()) {
        setError(error, QStringLiteral("no entry \"%1\" in the menu:%2").arg(label, QString::fromStdString(describe(*entries))));
        return false;
    }
    return sendClicked(*path, entry->id, Delivery::Awaited, error);
}

bool TrayItem::sendClicked(const QString& menuPath, int id, Delivery delivery, QString* error) const {
    QDBusMessage event = QDBusMessage::createMethodCall(service_, menuPath, kMenuInterface, QStringLiteral("Event"));
    event << id << QStringLiteral("clicked") << QVariant::fromValue(QDBusVariant(0))
          << static_cast<uint>(QDateTime::currentSecsSinceEpoch());
    QDBusConnection bus = bus_;
    if (delivery == Delivery::Posted) {
        if (!bus.send(event)) {
            setError(error, QStringLiteral("Event clicked: ") + bus.lastError().message());
            return false;
        }
        // The bus handles one connection's messages in order: once it answers this, it has the click.
        bus.interface()->serviceOwner(QStringLiteral("org.freedesktop.DBus"));
        return true;
    }
    const QDBusMessage reply = call(bus, event);
    if (reply.type() != QDBusMessage::ReplyMessage) {
        setError(error, QStringLiteral("Event clicked: ") + reply.errorMessage());
        return false;
    }
    return true;
}

}  // namespace nubrio::e2e
