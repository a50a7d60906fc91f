#pragma once
// What a tray host sees of a StatusNotifierItem: its tooltip and icon pixmaps
// (org.kde.StatusNotifierItem) and its menu through com.canonical.dbusmenu, where a click is an
// Event "clicked" on an entry's id.
#include <QDBusConnection>
#include <QString>
#include <QVariant>
#include <optional>
#include <string>
#include <vector>

namespace nubrio::e2e {

struct IconPixmap {
    int width = 0;
    int height = 0;
    QByteArray argb;  // ARGB32, network byte order
    // A pixmap with its declared size whose pixels are not all transparent.
    bool painted() const;
};

struct ToolTip {
    QString iconName;
    QString title;
    QString text;
};

// One top-level entry of a dbusmenu layout, with the properties the protocol defines and their
// defaults where the entry leaves them out.
struct MenuEntry {
    int id = 0;
    QString type = QStringLiteral("standard");
    QString label;
    bool enabled = true;
    bool visible = true;
    QString toggleType;   // "", "checkmark" or "radio"
    int toggleState = -1; // 0 off, 1 on, -1 indeterminate or not given
    int childCount = 0;
    bool isSeparator() const { return type == QLatin1String("separator"); }
    std::string describe() const;
};

std::string describe(const std::vector<MenuEntry>& menu);

class TrayItem {
public:
    TrayItem(QDBusConnection bus, QString service, QString path);

    const QString& service() const { return service_; }
    const QString& path() const { return path_; }

    // Each reader leaves the reason in `error` when the item does not answer as the protocol says.
    std::optional<std::vector<IconPixmap>> iconPixmaps(QString* error = nullptr) const;
    std::optional<ToolTip> toolTip(QString* error = nullptr) const;
    std::optional<QString> menuPath(QString* error = nullptr) const;
    std::optional<std::vector<MenuEntry>> menu(QString* error = nullptr) const;
    // The same, from the menu object at a path already known.
    std::optional<std::vector<MenuEntry>> menuAt(const QString& menuPath, QString* error = nullptr) const;
    // Clicks the first entry with that label, as a host does when the user chooses it.
    bool click(const QString& label, QString* error = nullptr) const;

    // Awaited returns once the program has answered the click; Posted once the bus has it, so that a
    // click which opens a modal alert does not hold the caller.
    enum class Delivery { Awaited, Posted };
    bool sendClicked(const QString& menuPath, int id, Delivery delivery, QString* error = nullptr) const;

private:
    std::optional<QVariant> property(const QString& name, QString* error) const;

    QDBusConnection bus_;
    QString service_;
    QString path_;
};

}  // namespace nubrio::e2e
