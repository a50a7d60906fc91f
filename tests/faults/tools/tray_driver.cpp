// The tray's side of the StatusNotifierItem protocol on a private session bus, for driving the program
// from a shell script:
//   tray_driver watch FILE                  be the watcher and its host; for every item that registers,
//                                           fetch its icon as a host does and append "<service> <path>
//                                           <registered> <icon>" to FILE: CLOCK_REALTIME ns of the
//                                           registration and of the first answer with a painted pixmap
//                                           ("-" when none came within 10 s)
//   tray_driver watch-never-fetching FILE   the same, but never ask for an icon (the line says "-")
//   tray_driver menu SERVICE PATH           print the item's top-level menu, "<id>\t<label>" per line
//   tray_driver click SERVICE PATH LABEL    click the entry with that label, without waiting for the
//                                           program to return from it (a click may open a modal alert)
// PATH is the menu's object path, or "auto" to ask the item where it is.
// The watcher and the item reader are the desktop tests' own (tests/e2e).
#include <QCoreApplication>
#include <QDBusConnection>
#include <QFile>
#include <QStringList>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <optional>
#include <vector>

#include "support/status_notifier_watcher.h"
#include "support/tray_item.h"

namespace {

using nubrio::e2e::MenuEntry;
using nubrio::e2e::StatusNotifierWatcher;
using nubrio::e2e::TrayItem;

long long realtimeNs() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

void complain(const QString& text) { std::fprintf(stderr, "tray_driver: %s\n", qPrintable(text)); }

TrayItem trayItem(const QString& service, const QString& path = QStringLiteral("/StatusNotifierItem")) {
    return TrayItem(QDBusConnection::sessionBus(), service, path);
}

void appendLine(const QString& file, const QString& line) {
    QFile out(file);
    if (out.open(QIODevice::Append | QIODevice::Text)) out.write((line + QLatin1Char('\n')).toUtf8());
}

// Asks for the item's pixmaps, again and again a moment apart, until one is painted: an item may come
// with an empty icon and set its image after registering.
void fetchIcon(const QString& file, const StatusNotifierWatcher::Item& item, long long registered) {
    constexpr long long kGiveUpNs = 10'000'000'000LL;
    const TrayItem tray = trayItem(item.service, item.path);
    const auto pixmaps = tray.iconPixmaps();
    const long long now = realtimeNs();
    const bool painted = pixmaps && std::any_of(pixmaps->begin(), pixmaps->end(), [](const auto& p) { return p.painted(); });
    if (painted || now - registered > kGiveUpNs) {
        appendLine(file, QStringLiteral("%1 %2 %3 %4")
                             .arg(item.service, item.path)
                             .arg(registered)
                             .arg(painted ? QString::number(now) : QStringLiteral("-")));
        return;
    }
    QTimer::singleShot(2, [file, item, registered] { fetchIcon(file, item, registered); });
}

int watch(const QString& file, bool fetch) {
    auto* watcher = new StatusNotifierWatcher(QDBusConnection::sessionBus());
    // Connected before start(), so the time is taken before the signal goes out on the bus; the icon is
    // fetched once the registration has been answered.
    QObject::connect(watcher, &StatusNotifierWatcher::StatusNotifierItemRegistered, watcher, [watcher, file, fetch] {
        const long long when = realtimeNs();
        const StatusNotifierWatcher::Item item = watcher->items().back();
        if (!fetch) {
            appendLine(file, QStringLiteral("%1 %2 %3 -").arg(item.service, item.path).arg(when));
            return;
        }
        QTimer::singleShot(0, [file, item, when] { fetchIcon(file, item, when); });
    });
    const QString failure = watcher->start();
    if (failure.isEmpty()) {
        std::printf("watching\n");
        std::fflush(stdout);
        return QCoreApplication::exec();
    }
    complain(failure);
    return 1;
}

// The item says where its menu is; Qt puts it at /MenuBar.
QString menuPath(const TrayItem& item, const QString& givenPath) {
    if (givenPath != QStringLiteral("auto")) return givenPath;
    return item.menuPath().value_or(QStringLiteral("/MenuBar"));
}

// The top-level entries as a person reads them: no separators, no mnemonic markers.
std::optional<std::vector<MenuEntry>> topLevel(const TrayItem& item, const QString& path) {
    QString error;
    const auto entries = item.menuAt(path, &error);
    if (!entries) {
        complain(error);
        return std::nullopt;
    }
    std::vector<MenuEntry> shown;
    for (MenuEntry entry : *entries) {
        if (entry.isSeparator()) continue;
        entry.label.remove(QLatin1Char('_'));
        shown.push_back(entry);
    }
    return shown;
}

int menu(const QString& service, const QString& givenPath) {
    const TrayItem item = trayItem(service);
    const auto entries = topLevel(item, menuPath(item, givenPath));
    if (!entries) return 1;
    for (const MenuEntry& entry : *entries) std::printf("%d\t%s\n", entry.id, qPrintable(entry.label));
    return 0;
}

int click(const QString& service, const QString& givenPath, const QString& label) {
    const TrayItem item = trayItem(service);
    const QString path = menuPath(item, givenPath);
    const auto entries = topLevel(item, path);
    if (!entries) return 1;
    for (const MenuEntry& entry : *entries) {
        if (entry.label != label) continue;
        QString error;
        if (item.sendClicked(path, entry.id, TrayItem::Delivery::Posted, &error)) return 0;
        complain(error);
        return 1;
    }
    complain(QStringLiteral("no entry \"%1\"").arg(label));
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    const QStringList arguments = application.arguments();
    if (arguments.size() == 3 && arguments[1] == QStringLiteral("watch")) return watch(arguments[2], true);
    if (arguments.size() == 3 && arguments[1] == QStringLiteral("watch-never-fetching"))
        return watch(arguments[2], false);
    if (arguments.size() == 4 && arguments[1] == QStringLiteral("menu")) return menu(arguments[2], arguments[3]);
    if (arguments.size() == 5 && arguments[1] == QStringLiteral("click"))
        return click(arguments[2], arguments[3], arguments[4]);
    std::fprintf(stderr,
                 "usage: tray_driver watch FILE | watch-never-fetching FILE | menu SERVICE PATH | click SERVICE PATH "
                 "LABEL\n");
    return 64;
}
