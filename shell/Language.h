#pragma once
#include <QStringList>

// The panel's texts are written in Chinese, which is also what it shows
// unless the operator's system asks for English: the English translation is
// built into the program.
enum class EUiLanguage { Chinese, English };

// The language for a list of preferred UI languages, most preferred first
// (QLocale::uiLanguages(): "en-US", "zh-Hans-CN", "C"...). The first entry
// that is Chinese or English decides; C and POSIX stand for no preference,
// which is Chinese; languages the panel has no texts for are passed over, so
// "de:en" gives English and German alone Chinese.
EUiLanguage UiLanguageFor(const QStringList& uiLanguages);

// The language the system asks for: LANGUAGE, then LC_ALL, LC_MESSAGES, LANG.
EUiLanguage SystemUiLanguage();

// Makes language the one every text looked up from now on is in: installs
// the English translation, or removes it for Chinese. Windows built before
// keep their texts. False when the English translation cannot be loaded
// (the texts then stay Chinese).
bool SetUiLanguage(EUiLanguage language);
