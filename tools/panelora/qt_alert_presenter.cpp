#include "qt_alert_presenter.h"

#include <QAbstractButton>
#include <QMessageBox>
#include <QPushButton>
#include <vector>

#include "support/app_info.h"
#include "tray_menu.h"

namespace panelora {

void QtAlertPresenter::present(const Alert& alert,
                               std::function<void(std::optional<std::size_t>)> done) {
    auto* box = new QMessageBox();
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::ApplicationModal);
    box->setWindowTitle(QString::fromUtf8(kAppName));
    box->setWindowIcon(appIcon());
    box->setIcon(QMessageBox::Information);
    box->setText(QString::fromStdString(alert.messageText));
    box->setInformativeText(QString::fromStdString(alert.informativeText));
    std::vector<QAbstractButton*> buttons;
    for (std::size_t i = 0; i < alert.buttons.size(); ++i) {
        auto role = i == 0 ? QMessageBox::AcceptRole : QMessageBox::RejectRole;
        QPushButton* button = box->addButton(QString::fromStdString(alert.buttons[i]), role);
        if (i == 0) box->setDefaultButton(button);
        buttons.push_back(button);
    }
    QObject::connect(box, &QMessageBox::finished, box, [box, buttons, done] {
        std::optional<std::size_t> chosen;
        for (std::size_t i = 0; i < buttons.size(); ++i) {
            if (box->clickedButton() == buttons[i]) chosen = i;
        }
        if (done) done(chosen);
    });
    box->show();
    box->raise();
    box->activateWindow();
}

}  // namespace panelora
