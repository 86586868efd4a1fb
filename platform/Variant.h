#pragma once
#include <QByteArray>

// The value that carries bytes to and from the serial control: a
// one-dimensional array of unsigned bytes, as the automation variant holding a
// byte safe array was. A caller creates one for each Output and releases the
// one it gets from each Input; copies share their bytes until one is changed.
class COleVariant {
public:
    COleVariant() = default;
    COleVariant(const unsigned char* data, qsizetype count)
        : m_bytes(reinterpret_cast<const char*>(data), count) {}
    explicit COleVariant(QByteArray bytes) : m_bytes(std::move(bytes)) {}

    // Number of elements of the array (its one dimension).
    qsizetype GetOneDimSize() const { return m_bytes.size(); }
    // The elements, in order; valid until the variant is changed or released.
    const unsigned char* AccessData() const {
        return reinterpret_cast<const unsigned char*>(m_bytes.constData());
    }
    const QByteArray& Bytes() const { return m_bytes; }

    // Gives the bytes back; the variant is then an empty array.
    void Clear() { m_bytes = QByteArray(); }

private:
    QByteArray m_bytes;
};
