// Where the status icon appeared on the screen, for the session scripts: icon_place BEFORE.png AFTER.png
// prints the icon's box as "X Y W H" (screen pixels), or says what changed and exits 1.
#include <QGuiApplication>
#include <QImage>
#include <cstdio>
#include <iostream>

#include "screen_icon.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: icon_place BEFORE.png AFTER.png\n";
        return 64;
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    std::string why;
    const auto place = nubrio::panels::locateIcon(QImage(QString::fromLocal8Bit(argv[1])),
                                                  QImage(QString::fromLocal8Bit(argv[2])), &why);
    if (!place) {
        std::cerr << "no icon: " << why << "\n";
        return 1;
    }
    std::printf("%d %d %d %d\n", place->box.x(), place->box.y(), place->box.width(), place->box.height());
    return 0;
}
