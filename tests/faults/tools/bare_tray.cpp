// The least a Qt tray program does to show a painted icon: a QApplication, an icon engine that paints
// a path at whatever size the tray asks for, a QSystemTrayIcon with a menu, and the event loop. The
// benchmark starts it beside the program to show what the program adds on the way to its icon.
//   bare_tray          runs until it is ended by a signal
#include <QApplication>
#include <QIconEngine>
#include <QMenu>
#include <QPainter>
#include <QPainterPath>
#include <QSystemTrayIcon>

namespace {

// A glyph in white, as the program's icon is on a dark panel: a rounded tile with a hole.
class GlyphEngine final : public QIconEngine {
public:
    void paint(QPainter* painter, const QRect& rect, QIcon::Mode, QIcon::State) override {
        const qreal side = std::min(rect.width(), rect.height());
        QPainterPath path;
        path.addRoundedRect(QRectF(rect.x() + side * 0.1, rect.y() + side * 0.2, side * 0.8, side * 0.6), side * 0.15,
                            side * 0.15);
        path.addEllipse(QPointF(rect.x() + side / 2, rect.y() + side / 2), side * 0.18, side * 0.18);
        painter->setRenderHint(QPainter::Antialiasing);
        painter->fillPath(path, Qt::white);
    }
    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override {
        QImage image(size, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        QPainter painter(&image);
        paint(&painter, QRect(QPoint(0, 0), size), mode, state);
        painter.end();
        return QPixmap::fromImage(image);
    }
    QList<QSize> availableSizes(QIcon::Mode, QIcon::State) override {
        return {QSize(16, 16), QSize(22, 22), QSize(24, 24), QSize(32, 32), QSize(48, 48), QSize(64, 64)};
    }
    QIconEngine* clone() const override { return new GlyphEngine; }
    QString key() const override { return QStringLiteral("BareTrayGlyph"); }
};

}  // namespace

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    QMenu menu;
    menu.addAction(QStringLiteral("Salir"), &application, &QApplication::quit);
    QSystemTrayIcon tray(QIcon(new GlyphEngine));
    tray.setToolTip(QStringLiteral("bare tray"));
    tray.setContextMenu(&menu);
    tray.show();
    return QApplication::exec();
}
