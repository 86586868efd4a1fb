#include "platform/Fonts.h"

#include <QFont>

void InstallFontSubstitutions() {
    QFont::insertSubstitution(QStringLiteral("宋体"), QStringLiteral("Noto Serif CJK SC"));
    QFont::insertSubstitution(QStringLiteral("MS Shell Dlg"), QStringLiteral("Noto Sans CJK SC"));
}
