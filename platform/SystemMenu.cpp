#include "platform/SystemMenu.h"

#include <QCoreApplication>
#include <QDialog>
#include <QShortcut>
#include <QWindow>

CSystemMenu::CSystemMenu(QDialog* owner, Handler handler)
    : QMenu(owner), m_handler(std::move(handler)) {
    setObjectName(QStringLiteral("systemMenu"));
    AppendMenu(MF_STRING, SC_MOVE, QCoreApplication::translate("SystemMenu", "移动(&M)"));
    AppendMenu(MF_STRING, SC_CLOSE, QCoreApplication::translate("SystemMenu", "关闭(&C)\tAlt+F4"));
    auto* shortcut = new QShortcut(QKeySequence(Qt::ALT | Qt::Key_Space), owner);
    connect(shortcut, &QShortcut::activated, this,
            [this, owner] { Open(owner->mapToGlobal(QPoint(0, 0))); });
}

void CSystemMenu::AppendMenu(unsigned flags, unsigned nID, const QString& text) {
    if (flags & MF_SEPARATOR) {
        addSeparator()->setData(0u);
        return;
    }
    QAction* a = addAction(text);
    a->setData(nID);
    connect(a, &QAction::triggered, this, [this, nID] { Trigger(nID); });
}

QList<unsigned> CSystemMenu::Commands() const {
    QList<unsigned> ids;
    for (QAction* a : actions())
        ids.push_back(a->isSeparator() ? 0u : a->data().toUInt());
    return ids;
}

void CSystemMenu::Open(const QPoint& globalPos) {
    popup(globalPos);
}

void CSystemMenu::Trigger(unsigned nID) {
    if (m_handler)
        m_handler(nID, 0);
    else
        DefaultSysCommand(qobject_cast<QDialog*>(parent()), nID);
}

CSystemMenu* GetSystemMenu(QDialog* dlg, const CSystemMenu::Handler& handler) {
    if (auto* m =
            dlg->findChild<CSystemMenu*>(QStringLiteral("systemMenu"), Qt::FindDirectChildrenOnly))
        return m;
    return new CSystemMenu(dlg, handler);
}

void DefaultSysCommand(QDialog* dlg, unsigned nID) {
    if (!dlg)
        return;
    switch (nID & 0xFFF0) {
    case SC_MOVE:
        if (QWindow* w = dlg->windowHandle())
            w->startSystemMove();
        break;
    case SC_CLOSE:
        dlg->close();
        break;
    default:
        break;
    }
}
