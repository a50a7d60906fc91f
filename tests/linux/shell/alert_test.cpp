// Alerts on the real backend: a QMessageBox found on screen and answered as a user would, by a
// button, Escape or closing the window.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDeadlineTimer>
#include <QDialogButtonBox>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <algorithm>
#include <functional>

#include "platform/linux/shell/alert.h"

namespace nubrio::linux_platform {
namespace {

// Runs `answer` on the alert as soon as it is on screen; `answer` must close it. An alert that stays
// open is a failure, and is then ended so the test does not hang.
void whenAlertShows(std::function<void(QMessageBox&)> answer) {
    auto* poll = new QTimer;
    const QDeadlineTimer deadline(30000);
    QObject::connect(poll, &QTimer::timeout, [poll, answer, deadline] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box && box->isVisible()) {
            poll->deleteLater();
            poll->stop();
            answer(*box);
            QTimer::singleShot(10000, box, [box] {
                ADD_FAILURE() << "the alert did not close";
                box->done(0);
            });
        } else if (deadline.hasExpired()) {
            poll->deleteLater();
            poll->stop();
            ADD_FAILURE() << "no alert appeared";
        }
    });
    poll->start(10);
}

// The buttons as they appear on screen, left to right.
std::vector<QPushButton*> buttonsOnScreen(QMessageBox& box) {
    std::vector<QPushButton*> buttons;
    for (QAbstractButton* button : box.findChild<QDialogButtonBox*>()->buttons())
        if (button->isVisible()) buttons.push_back(static_cast<QPushButton*>(button));
    std::sort(buttons.begin(), buttons.end(), [&](QPushButton* a, QPushButton* b) {
        return a->mapTo(&box, QPoint(0, 0)).x() < b->mapTo(&box, QPoint(0, 0)).x();
    });
    return buttons;
}

QStringList labels(const std::vector<QPushButton*>& buttons) {
    QStringList result;
    for (QPushButton* button : buttons) result << button->text().remove(QLatin1Char('&'));
    return result;
}

void pressEscape(QMessageBox& box) {
    QKeyEvent press(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QApplication::sendEvent(&box, &press);
}

TEST(LinuxAlerts, ConfirmationShowsItsButtonsInOrderAndAnswersByIndex) {
    const platform::Alert alert{
        "¿Reiniciar el procesamiento?", "Se detendrá el trabajo <en curso> & se reanudará.", {"Cancelar", "Reiniciar"}};
    struct Case {
        const char* how;
        std::function<void(QMessageBox&, const std::vector<QPushButton*>&)> answer;
        int expected;
    };
    const Case cases[] = {
        {"first button", [](QMessageBox&, const auto& buttons) { buttons[0]->click(); }, 1000},
        {"second button", [](QMessageBox&, const auto& buttons) { buttons[1]->click(); }, 1001},
        {"Escape", [](QMessageBox& box, const auto&) { pressEscape(box); }, 1000},
        {"closing the window", [](QMessageBox& box, const auto&) { box.close(); }, 1000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.how);
        whenAlertShows([&](QMessageBox& box) {
            const std::vector<QPushButton*> buttons = buttonsOnScreen(box);
            EXPECT_EQ(box.windowTitle(), QStringLiteral("Nubrio"));
            EXPECT_EQ(box.icon(), QMessageBox::NoIcon);
            EXPECT_EQ(box.text(), QStringLiteral("¿Reiniciar el procesamiento?"));
            EXPECT_EQ(box.informativeText(), QStringLiteral("Se detendrá el trabajo <en curso> & se reanudará."));
            int textLabels = 0;
            for (const QLabel* label : box.findChildren<QLabel*>()) {
                if (label->text() != box.informativeText() && label->text() != box.text()) continue;
                ++textLabels;
                EXPECT_EQ(label->textFormat(), Qt::PlainText) << "shown as written, not as markup";
            }
            EXPECT_EQ(textLabels, 2);
            EXPECT_EQ(labels(buttons), (QStringList{QStringLiteral("Cancelar"), QStringLiteral("Reiniciar")}));
            if (buttons.size() == 2) {
                EXPECT_TRUE(buttons[0]->isDefault());
                c.answer(box, buttons);
            } else {
                box.close();
            }
        });
        EXPECT_EQ(LinuxAlerts().runModal(alert), c.expected);
    }
}

TEST(LinuxAlerts, DismissingChoosesTheButtonThatChangesNothing) {
    // The browser alert: "Descargar Chrome" acts, "Cerrar" does not.
    const platform::Alert alert{"Abrí Nubrio en Chrome o Edge", "…", {"Descargar Chrome", "Cerrar"}, 1};
    const std::pair<const char*, std::function<void(QMessageBox&)>> dismissals[] = {
        {"Escape", pressEscape},
        {"closing the window", [](QMessageBox& box) { box.close(); }},
    };
    for (const auto& [how, dismiss] : dismissals) {
        SCOPED_TRACE(how);
        whenAlertShows([&](QMessageBox& box) {
            EXPECT_TRUE(buttonsOnScreen(box)[0]->isDefault()) << "the first stays the default for Return";
            dismiss(box);
        });
        EXPECT_EQ(LinuxAlerts().runModal(alert), 1001);
    }
}

TEST(LinuxAlerts, TheProgramsEndDismissesAnOpenAlertAndShowsNoMore) {
    const platform::Alert alert{"Abrí Nubrio en Chrome o Edge", "…", {"Descargar Chrome", "Cerrar"}, 1};
    bool terminating = false;
    LinuxAlerts alerts([&] { return terminating; });
    // What the application's termination does to a modal alert: its event loop is ended from inside.
    whenAlertShows([&](QMessageBox&) {
        terminating = true;
        QCoreApplication::exit(0);
    });
    EXPECT_EQ(alerts.runModal(alert), 1001);
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    EXPECT_EQ(alerts.runModal(alert), 1001) << "shown no more";
}

TEST(LinuxAlerts, WithoutButtonsShowsOneSpanishOkWithOrWithoutQtTranslation) {
    const platform::Alert alert{"No se pudo abrir Nubrio", "Falta el navegador.", {}};
    for (const bool translated : {false, true}) {
        SCOPED_TRACE(translated ? "Qt's Spanish translation" : "no translation");
        if (translated) {
            ASSERT_TRUE(installSpanishTranslation()) << "qt6-translations-l10n provides qtbase_es.qm";
        }
        for (const bool escape : {false, true}) {
            whenAlertShows([&](QMessageBox& box) {
                const std::vector<QPushButton*> buttons = buttonsOnScreen(box);
                EXPECT_EQ(labels(buttons), QStringList{QStringLiteral("Aceptar")});
                EXPECT_EQ(box.icon(), QMessageBox::NoIcon);
                if (escape || buttons.empty())
                    pressEscape(box);
                else
                    buttons[0]->click();
            });
            EXPECT_EQ(LinuxAlerts().runModal(alert), 1000);
        }
    }
}

// A bold headline is shown whole, a long one on lines of its own: QMessageBox sized its label before
// the bold font counted and cut the rest off at the right edge.
TEST(LinuxAlerts, TheHeadlineIsShownWhole) {
    const char* const headlines[] = {
        "Nubrio todavía no está instalado en esta computadora",
        "No se pudo cambiar el inicio con la sesión del escritorio porque la carpeta de inicio no existe más",
    };
    for (const char* headline : headlines) {
        SCOPED_TRACE(headline);
        whenAlertShows([&](QMessageBox& box) {
            const QLabel* label = box.findChild<QLabel*>(QStringLiteral("qt_msgbox_label"));
            ASSERT_NE(label, nullptr);
            EXPECT_EQ(label->text().replace(QLatin1Char('\n'), QLatin1Char(' ')), QString::fromUtf8(headline));
            for (const QString& line : label->text().split(QLatin1Char('\n')))
                EXPECT_LE(label->fontMetrics().horizontalAdvance(line), label->contentsRect().width()) << line.toStdString();
            box.close();
        });
        LinuxAlerts().runModal({headline, "Cerrá la app y abrila desde donde la instales.", {}});
    }
}

}  // namespace
}  // namespace nubrio::linux_platform
