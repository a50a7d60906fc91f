#include "platform/linux/shell/alert.h"

#include <QApplication>
#include <QCoreApplication>
#include <QFontMetrics>
#include <QLabel>
#include <QLibraryInfo>
#include <QMessageBox>
#include <QMetaObject>
#include <QPushButton>
#include <QStringList>
#include <QTranslator>
#include <algorithm>
#include <memory>
#include <vector>

#include "platform/linux/shell/request_queue.h"

namespace nubrio::linux_platform {

namespace {

const QString kSpanishOk = QStringLiteral("Aceptar");

QString buttonText(const std::string& label) {
    return QString::fromStdString(label).replace(QLatin1Char('&'), QLatin1String("&&"));
}

// The headline broken at spaces into lines no wider than `maxWidth`: QMessageBox sizes its labels
// before a font of ours counts, and left a bold headline that needed two lines cut at its right edge.
QString linesThatFit(const QString& text, const QFontMetrics& metrics, int maxWidth) {
    QStringList lines;
    QString line;
    for (const QString& word : text.split(QLatin1Char(' '))) {
        const QString longer = line.isEmpty() ? word : line + QLatin1Char(' ') + word;
        if (!line.isEmpty() && metrics.horizontalAdvance(longer) > maxWidth) {
            lines << line;
            line = word;
        } else {
            line = longer;
        }
    }
    lines << line;
    return lines.join(QLatin1Char('\n'));
}

}  // namespace

int LinuxAlerts::runModal(const platform::Alert& alert) {
    const int dismissed = platform::AlertFirstButtonReturn +
                          static_cast<int>(alert.dismissButton < alert.buttons.size() ? alert.dismissButton : 0);
    if (terminating_ && terminating_()) return dismissed;

    QMessageBox box;
    box.setWindowTitle(QStringLiteral("Nubrio"));
    box.setIcon(QMessageBox::NoIcon);
    // Error descriptions may hold '<' or '&': never take the texts for markup.
    box.setTextFormat(Qt::PlainText);
    box.setText(QString::fromStdString(alert.messageText));
    box.setInformativeText(QString::fromStdString(alert.informativeText));
    if (auto* informative = box.findChild<QLabel*>(QStringLiteral("qt_msgbox_informativelabel")))
        informative->setTextFormat(Qt::PlainText);
    // QMessageBox sizes itself to the headline, so a short headline would squeeze the explanation
    // into a narrow column; a long one is given lines of its own, each shown whole.
    if (auto* headline = box.findChild<QLabel*>(QStringLiteral("qt_msgbox_label"))) {
        QFont bold = headline->font();
        bold.setBold(true);
        headline->setFont(bold);
        const QFontMetrics metrics = headline->fontMetrics();
        const QString lines = linesThatFit(box.text(), metrics, metrics.averageCharWidth() * 64);
        if (lines != box.text()) box.setText(lines);
        int widest = 0;
        for (const QString& line : lines.split(QLatin1Char('\n'))) widest = std::max(widest, metrics.horizontalAdvance(line));
        headline->setMinimumWidth(std::max(metrics.averageCharWidth() * 44, widest + 1));
    }
    box.setStandardButtons(QMessageBox::NoButton);

    // One role for all: every platform layout keeps the buttons of a role in the order added, and
    // ActionRole is never reversed.
    std::vector<QPushButton*> buttons;
    for (const std::string& label : alert.buttons)
        buttons.push_back(box.addButton(buttonText(label), QMessageBox::ActionRole));
    if (buttons.empty()) {
        QPushButton* ok = box.addButton(QMessageBox::Ok);
        // Qt's own label when its Spanish translation is installed; otherwise ours.
        if (ok->text().remove(QLatin1Char('&')) != kSpanishOk) ok->setText(kSpanishOk);
        buttons.push_back(ok);
    }
    box.setDefaultButton(buttons.front());
    // Closing the window presses the escape button too.
    box.setEscapeButton(buttons[static_cast<std::size_t>(dismissed - platform::AlertFirstButtonReturn)]);

    // A tray program has no window of its own that would bring the alert along.
    QMetaObject::invokeMethod(
        &box,
        [&box] {
            box.raise();
            box.activateWindow();
        },
        Qt::QueuedConnection);
    // A command or link that waits for this alert shows it again, so the user sees what is in the way.
    // On X11 the window is raised and activated; where the window manager keeps the focus elsewhere,
    // it is at least marked as waiting for the user. Wayland lets no client raise its own window or
    // take the focus without a token from the user's input; GNOME and Plasma put a window mapped anew
    // on top and focus it, so there the alert is shown again.
    bool showAgain = false;
    const bool wayland = QGuiApplication::platformName().startsWith(QLatin1String("wayland"));
    const auto bringToFront = [&box, &showAgain, wayland] {
        if (!wayland) {
            box.raise();
            box.activateWindow();
            QApplication::alert(&box);
        } else if (!box.isActiveWindow()) {
            showAgain = true;
            box.hide();
        }
    };
    if (requests_) requests_->alertOpened(bringToFront);
    do {
        showAgain = false;
        box.exec();
    } while (showAgain && !(terminating_ && terminating_()));
    if (requests_) requests_->alertClosed();

    // The program's end closes the alert from inside (no button clicked); nothing may act on it then.
    if (terminating_ && terminating_()) return dismissed;
    for (std::size_t index = 0; index < buttons.size(); ++index)
        if (box.clickedButton() == buttons[index]) return platform::AlertFirstButtonReturn + static_cast<int>(index);
    return dismissed;
}

bool installSpanishTranslation() {
    static QTranslator* installed = nullptr;
    if (installed) return true;
    auto translator = std::make_unique<QTranslator>();
    if (!translator->load(QStringLiteral("qtbase_es"), QLibraryInfo::path(QLibraryInfo::TranslationsPath)) ||
        !QCoreApplication::installTranslator(translator.get()))
        return false;
    // Installed for the life of the application, which owns it from here.
    installed = translator.release();
    installed->setParent(QCoreApplication::instance());
    return true;
}

}  // namespace nubrio::linux_platform
