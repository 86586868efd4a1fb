#include "platform/MessageBox.h"

#include <QApplication>
#include <QMessageBox>
#include <QWidget>

namespace {
MessageBoxHook& Hook() {
    static MessageBoxHook hook;
    return hook;
}
} // namespace

void SetMessageBoxHook(MessageBoxHook hook) {
    Hook() = std::move(hook);
}

void AfxMessageBox(const QString& text, QWidget* owner) {
    if (Hook()) {
        Hook()(text);
        return;
    }
    if (!owner)
        owner = QApplication::activeWindow();
    QMessageBox box(QMessageBox::Warning, QApplication::applicationName(), text, QMessageBox::Ok,
                    owner);
    box.exec();
}
