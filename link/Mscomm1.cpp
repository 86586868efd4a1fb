#include "link/Mscomm1.h"

CMscomm1::CMscomm1(QWidget* parent) : QWidget(parent) {
    // Invisible at run time: showing the panel must not show it either.
    setAttribute(Qt::WA_DontShowOnScreen);
    hide();
    connect(&m_control, &CSerialControl::OnComm, this, &CMscomm1::OnComm);
    connect(&m_control, &CSerialControl::PortLost, this, &CMscomm1::PortLost);
}
