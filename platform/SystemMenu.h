#pragma once
#include <QMenu>
#include <functional>

class QDialog;

// Window-menu commands as the window system numbers them.
inline constexpr unsigned SC_MOVE = 0xF010;
inline constexpr unsigned SC_CLOSE = 0xF060;
inline constexpr unsigned MF_STRING = 0x0000;
inline constexpr unsigned MF_SEPARATOR = 0x0800;

// X11 window managers do not let a program add to their window menu, so the
// dialog carries a system menu of its own: Move and Close, plus whatever the
// dialog appends. It opens with Alt+Space and with a right click on the
// dialog's background. Every entry goes to the command handler as
// (command identifier, lParam); commands nobody handles get the default
// processing (DefaultSysCommand).
class CSystemMenu : public QMenu {
public:
    using Handler = std::function<void(unsigned nID, long long lParam)>;
    CSystemMenu(QDialog* owner, Handler handler);

    void AppendMenu(unsigned flags, unsigned nID = 0, const QString& text = {});
    // The command identifiers of the entries, separators as 0.
    QList<unsigned> Commands() const;
    // Opens the menu at a global position (right click, Alt+Space).
    void Open(const QPoint& globalPos);
    // Runs the entry with that identifier as if chosen.
    void Trigger(unsigned nID);

private:
    Handler m_handler;
};

// The dialog's system menu, made on first use.
CSystemMenu* GetSystemMenu(QDialog* dlg, const CSystemMenu::Handler& handler = {});

// Default processing of a system command: move and close; others do nothing.
void DefaultSysCommand(QDialog* dlg, unsigned nID);
