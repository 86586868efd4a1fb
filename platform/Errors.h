#pragma once
#include <QString>
#include <exception>

// What the serial control raises when it cannot carry out an access (the port
// does not exist, is busy, refuses a setting, or is written while closed). It
// ends the handler at the failing access; the dialog's message map catches it
// and shows m_strDescription, except where a caller (OpenComPort) catches it
// itself.
class COleDispatchException : public std::exception {
public:
    explicit COleDispatchException(QString description)
        : m_strDescription(std::move(description)), m_utf8(m_strDescription.toUtf8()) {}
    const char* what() const noexcept override { return m_utf8.constData(); }

    QString m_strDescription;

private:
    QByteArray m_utf8;
};
