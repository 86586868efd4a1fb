#include "shell/AboutDlg.h"

#include "platform/DataExchange.h"
#include "platform/DialogKeys.h"
#include "resources/Templates.h"

#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>

CAboutDlg::CAboutDlg() : QDialog(nullptr) {}

void CAboutDlg::Create() {
    if (m_created)
        return;
    m_created = true;
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);
    BuildDialog(this, AboutTemplate(), m_controls);
    setWindowIcon(LoadAppIcon());
    for (QWidget* w : m_controls.InTemplateOrder()) {
        if (auto* icon = qobject_cast<QLabel*>(w); icon && icon->text().isEmpty())
            icon->setPixmap(LoadAppIcon().pixmap(32, 32));
    }
    if (auto* ok = m_controls.Item<QPushButton>(IDOK))
        connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}

int CAboutDlg::DoModal() {
    Create();
    return exec();
}

void CAboutDlg::keyPressEvent(QKeyEvent* e) {
    if (!HandleDialogKey(
            this, e, [this] { accept(); }, [this] { reject(); }))
        QDialog::keyPressEvent(e);
}
