#include "platform/DialogKeys.h"

#include <QApplication>
#include <QDialog>
#include <QKeyEvent>
#include <QPushButton>

bool HandleDialogKey(QDialog* dlg, QKeyEvent* e, const std::function<void()>& onOk,
                     const std::function<void()>& onCancel) {
    if (e->modifiers() & ~(Qt::KeypadModifier))
        return false;
    switch (e->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter: {
        auto* focused = qobject_cast<QPushButton*>(QApplication::focusWidget());
        if (focused && focused->window() == dlg) {
            if (focused->isEnabled())
                focused->click();
        } else {
            onOk();
        }
        return true;
    }
    case Qt::Key_Escape:
        onCancel();
        return true;
    default:
        return false;
    }
}
