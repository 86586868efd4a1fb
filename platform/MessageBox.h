#pragma once
#include <QString>
#include <functional>

class QWidget;

// A modal message box with an OK button and the application's caption.
void AfxMessageBox(const QString& text, QWidget* owner = nullptr);

// Tests and tools may take the boxes over: the hook gets the text instead of a
// box being shown. Pass an empty function to show real boxes again.
using MessageBoxHook = std::function<void(const QString&)>;
void SetMessageBoxHook(MessageBoxHook hook);
