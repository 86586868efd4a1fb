#include "shell/Language.h"

#include "acquisition/Record.h"

#include <QCoreApplication>
#include <QLocale>
#include <QPointer>
#include <QTranslator>

namespace {
// The language part of a tag: "en" of "en-US", "en_GB.UTF-8" or "en@euro".
QString LanguageOf(const QString& tag) {
    qsizetype n = 0;
    while (n < tag.size() && tag[n].isLetter())
        ++n;
    return tag.left(n).toLower();
}

QPointer<QTranslator> g_english;
bool g_installed = false;
} // namespace

EUiLanguage UiLanguageFor(const QStringList& uiLanguages) {
    for (const QString& tag : uiLanguages) {
        const QString language = LanguageOf(tag);
        if (language == u"en")
            return EUiLanguage::English;
        if (language == u"zh" || language == u"c" || language == u"posix")
            return EUiLanguage::Chinese;
    }
    return EUiLanguage::Chinese;
}

EUiLanguage SystemUiLanguage() {
    return UiLanguageFor(QLocale::system().uiLanguages());
}

bool SetUiLanguage(EUiLanguage language) {
    if (!g_english)
        g_installed = false; // went with an application object of before
    if (language == EUiLanguage::English && !g_installed) {
        if (!g_english) {
            auto* t = new QTranslator(QCoreApplication::instance());
            if (!t->load(QStringLiteral(":/translations/tovrel_en.qm"))) {
                delete t;
                return false;
            }
            g_english = t;
        }
        g_installed = QCoreApplication::installTranslator(g_english);
        if (!g_installed)
            return false;
    } else if (language == EUiLanguage::Chinese && g_installed) {
        QCoreApplication::removeTranslator(g_english);
        g_installed = false;
    }
    // The worker's calibration line keeps its format from one language to
    // the next: it looks it up again now.
    ReloadRecordTexts();
    return true;
}
