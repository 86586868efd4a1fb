// The recording's sidecar and the markers: operations of the panel, which
// hand what the panel does to its recording session (RecordingSession.h).
#include "shell/TovrelDlg.h"

#include <QCoreApplication>

void CTovrelDlg::SidecarNoteMode() {
    m_session.NoteMode();
    CatchUpFeed();
}

void CTovrelDlg::SidecarNoteGain() {
    m_session.NoteGain(m_uPulseGain1, m_iPulseGain2);
    CatchUpFeed();
}

void CTovrelDlg::OnMarkerKey() {
    if (const int number = m_session.Marker()) {
        CatchUpFeed();
        AppendHistory(m_editHistory,
                      QCoreApplication::translate("CTovrelDlg", "标记%1").arg(number));
    }
}
