#pragma once
#include <QApplication>

class QWidget;

// The application object: prepares the framework and runs the panel once.
class CTovrelApp : public QApplication {
public:
    CTovrelApp(int& argc, char** argv);
    // Runs the panel modally and returns false: there is no message loop of
    // the application's own after it, the process just ends.
    bool InitInstance();

    QWidget* m_pMainWnd = nullptr;
    QString m_strRecordDir; // --record-dir, or empty
};
