#include "platform/linux/tray/xembed_tray.h"

#include <xcb/xcb.h>

#include <QCoreApplication>
#include <QGuiApplication>
#include <QMetaObject>
#include <algorithm>
#include <cstdlib>
#include <memory>

namespace nubrio::linux_platform {

std::optional<QColor> trayForegroundFrom(const std::vector<std::uint32_t>& cardinals) {
    if (cardinals.size() < 3) return std::nullopt;
    auto eight = [](std::uint32_t value) { return static_cast<int>(std::min<std::uint32_t>(value, 0xffff) >> 8); };
    return QColor(eight(cardinals[0]), eight(cardinals[1]), eight(cardinals[2]));
}

std::optional<QColor> backgroundBehind(const QImage& shot, const QImage& coverage) {
    if (shot.isNull() || shot.size() != coverage.size()) return std::nullopt;
    const QImage screen = shot.convertToFormat(QImage::Format_RGB32);
    const QImage mask = coverage.convertToFormat(QImage::Format_ARGB32);
    const int width = mask.width(), height = mask.height();
    auto clear = [&](int x, int y) {
        for (int dy = -1; dy <= 1; ++dy)
            for (int dx = -1; dx <= 1; ++dx) {
                const int nx = x + dx, ny = y + dy;
                if (nx >= 0 && ny >= 0 && nx < width && ny < height && qAlpha(mask.pixel(nx, ny)) != 0) return false;
            }
        return true;
    };
    long long red = 0, green = 0, blue = 0, count = 0;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            if (!clear(x, y)) continue;
            const QRgb pixel = screen.pixel(x, y);
            red += qRed(pixel);
            green += qGreen(pixel);
            blue += qBlue(pixel);
            ++count;
        }
    if (count < 8 || count * 20 < static_cast<long long>(width) * height) return std::nullopt;
    return QColor(static_cast<int>(red / count), static_cast<int>(green / count), static_cast<int>(blue / count));
}

namespace {

xcb_atom_t intern(xcb_connection_t* connection, const QByteArray& name) {
    std::unique_ptr<xcb_intern_atom_reply_t, decltype(&std::free)> reply(
        xcb_intern_atom_reply(connection, xcb_intern_atom(connection, 0, name.size(), name.constData()), nullptr),
        &std::free);
    return reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
}

// Adds to the events this client gets from a window, keeping the ones Qt already asked for; a window
// that has gone meanwhile is no error worth reporting.
void addEvents(xcb_connection_t* connection, xcb_window_t window, std::uint32_t events) {
    xcb_generic_error_t* error = nullptr;
    std::unique_ptr<xcb_get_window_attributes_reply_t, decltype(&std::free)> attributes(
        xcb_get_window_attributes_reply(connection, xcb_get_window_attributes(connection, window), &error), &std::free);
    std::free(error);
    if (!attributes) return;
    const std::uint32_t mask = attributes->your_event_mask | events;
    std::free(xcb_request_check(connection,
                                xcb_change_window_attributes_checked(connection, window, XCB_CW_EVENT_MASK, &mask)));
}

int screenNumber() {
    const QString display = qEnvironmentVariable("DISPLAY");
    const qsizetype colon = display.lastIndexOf(QLatin1Char(':'));
    const qsizetype dot = display.indexOf(QLatin1Char('.'), colon);
    return colon >= 0 && dot > colon ? display.mid(dot + 1).toInt() : 0;
}

}  // namespace

XEmbedTray::XEmbedTray() {
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    if (!x11 || !x11->connection()) return;
    auto* connection = x11->connection();
    connection_ = connection;
    const int screen = screenNumber();
    xcb_screen_iterator_t roots = xcb_setup_roots_iterator(xcb_get_setup(connection));
    for (int i = 0; roots.rem && i < screen; ++i) xcb_screen_next(&roots);
    if (!roots.rem) return;
    root_ = roots.data->root;
    selection_ = intern(connection, "_NET_SYSTEM_TRAY_S" + QByteArray::number(screen));
    colours_ = intern(connection, "_NET_SYSTEM_TRAY_COLORS");
    manager_ = intern(connection, "MANAGER");
    // A new tray announces itself to the root window with a MANAGER message.
    addEvents(connection, root_, XCB_EVENT_MASK_STRUCTURE_NOTIFY);
    QCoreApplication::instance()->installNativeEventFilter(this);
    findTray();
}

XEmbedTray::~XEmbedTray() {
    if (connection_ && QCoreApplication::instance()) QCoreApplication::instance()->removeNativeEventFilter(this);
}

void XEmbedTray::findTray() {
    auto* connection = static_cast<xcb_connection_t*>(connection_);
    owner_ = 0;
    foreground_.reset();
    if (!connection || selection_ == XCB_ATOM_NONE) return;
    std::unique_ptr<xcb_get_selection_owner_reply_t, decltype(&std::free)> reply(
        xcb_get_selection_owner_reply(connection, xcb_get_selection_owner(connection, selection_), nullptr),
        &std::free);
    if (!reply || reply->owner == XCB_WINDOW_NONE) return;
    owner_ = reply->owner;
    addEvents(connection, owner_, XCB_EVENT_MASK_PROPERTY_CHANGE | XCB_EVENT_MASK_STRUCTURE_NOTIFY);
    readColours();
}

void XEmbedTray::readColours() {
    auto* connection = static_cast<xcb_connection_t*>(connection_);
    foreground_.reset();
    if (!connection || !owner_ || colours_ == XCB_ATOM_NONE) return;
    std::unique_ptr<xcb_get_property_reply_t, decltype(&std::free)> reply(
        xcb_get_property_reply(connection, xcb_get_property(connection, 0, owner_, colours_, XCB_ATOM_CARDINAL, 0, 12),
                               nullptr),
        &std::free);
    if (!reply || reply->format != 32) return;
    const auto* values = static_cast<const std::uint32_t*>(xcb_get_property_value(reply.get()));
    foreground_ =
        trayForegroundFrom(std::vector<std::uint32_t>(values, values + xcb_get_property_value_length(reply.get()) / 4));
}

bool XEmbedTray::nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) {
    if (eventType != "xcb_generic_event_t" || !message) return false;
    const auto* event = static_cast<const xcb_generic_event_t*>(message);
    // Handled after Qt is done with the event, so a repaint never runs inside its X event handling.
    auto later = [this](void (XEmbedTray::*signal)(), bool findAgain) {
        QMetaObject::invokeMethod(
            this,
            [this, signal, findAgain] {
                if (findAgain)
                    findTray();
                else
                    readColours();
                Q_EMIT(this->*signal)();
            },
            Qt::QueuedConnection);
    };
    switch (event->response_type & 0x7f) {
        case XCB_PROPERTY_NOTIFY: {
            const auto* property = reinterpret_cast<const xcb_property_notify_event_t*>(event);
            if (owner_ && property->window == owner_ && property->atom == colours_)
                later(&XEmbedTray::coloursChanged, false);
            break;
        }
        case XCB_CLIENT_MESSAGE: {
            const auto* client = reinterpret_cast<const xcb_client_message_event_t*>(event);
            if (client->window == root_ && client->type == manager_ && client->format == 32 &&
                client->data.data32[1] == selection_)
                later(&XEmbedTray::trayChanged, true);
            break;
        }
        case XCB_DESTROY_NOTIFY: {
            const auto* destroyed = reinterpret_cast<const xcb_destroy_notify_event_t*>(event);
            if (owner_ && destroyed->window == owner_) later(&XEmbedTray::trayChanged, true);
            break;
        }
        default: break;
    }
    return false;
}

}  // namespace nubrio::linux_platform
