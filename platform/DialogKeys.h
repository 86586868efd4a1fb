#pragma once
#include <functional>

class QDialog;
class QKeyEvent;

// The keyboard of a dialog: Enter with a push button focused clicks that
// button; Enter anywhere else is the OK command; Esc is the Cancel command.
// Returns true when the key was handled. Call from the dialog's keyPressEvent.
bool HandleDialogKey(QDialog* dlg, QKeyEvent* e, const std::function<void()>& onOk,
                     const std::function<void()>& onCancel);
