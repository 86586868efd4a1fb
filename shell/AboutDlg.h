#pragma once
#include "platform/DataExchange.h"
#include "platform/DialogTemplate.h"

#include <QDialog>

// The About box, built from template 100; it ends with its OK button, Esc or
// its close box.
class CAboutDlg : public QDialog {
public:
    CAboutDlg();
    int DoModal();
    // Builds the window without running it (tests drive it this way).
    void Create();
    const CDialogControls& Controls() const { return m_controls; }

protected:
    void keyPressEvent(QKeyEvent* e) override;

private:
    void DoDataExchange(CDataExchange*) {}
    CDialogControls m_controls;
    bool m_created = false;
};
