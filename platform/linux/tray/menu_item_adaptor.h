#pragma once
// The status item is all menu, but Qt's StatusNotifierItem says ItemIsMenu false and turns the host's
// Activate(x, y) into a bare activated(Trigger) without the place: a host that sends Activate for a
// left click (Plasma) would get a popup of ours at the pointer, which Wayland puts mid-screen. So the
// object Qt registers at /StatusNotifierItem is replaced by one that answers every call as Qt's does,
// except that ItemIsMenu is true, and Activate fails where the host then opens the item's menu at the
// icon itself (Plasma, its way with items that have none). Hosts that honour ItemIsMenu (Xfce, GNOME's
// AppIndicator) open the menu on a left click and send no Activate; others (LXQt) still get our popup
// through Qt's Activate. Qt's icon, tool tip, menu and signals stay Qt's. Public QtDBus only.
#include <QDBusConnection>
#include <QDBusVirtualObject>
#include <memory>

namespace nubrio::linux_platform {

class MenuItemAdaptor final : public QDBusVirtualObject {
    Q_OBJECT
public:
    // Takes over the StatusNotifierItem Qt has just registered for this process's newest tray icon;
    // none (and nothing changed) when there is none to take over, as with an XEmbed tray icon. Qt's
    // item moves to a path of its own, where the connection still knows it: the connection's end
    // then lets go of it as it would have (a program that ends without its display would otherwise
    // hang as the item is destroyed). The adaptor must go before the tray icon.
    static std::unique_ptr<MenuItemAdaptor> takeOver(bool declineActivate);
    ~MenuItemAdaptor() override;

    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override;
    QString introspect(const QString& path) const override;

private Q_SLOTS:
    void relaySignal();

private:
    MenuItemAdaptor(QString connection, QObject* qtAdaptor, bool declineActivate);
    bool property(const QDBusMessage& message, const QDBusConnection& connection) const;
    bool forward(const QDBusMessage& message, const QDBusConnection& connection);

    // By name: a connection held here would outlive the bus's own teardown as the program exits.
    QString connection_;
    QObject* qtAdaptor_;
    bool declineActivate_;
};

}  // namespace nubrio::linux_platform
