#include "ui/about_texts.h"

#include <QFile>

namespace flashupdate {

namespace {

QString* textFor(AboutTexts& texts, QStringView key) {
    if (key == u"copyright") {
        return &texts.copyright;
    }
    if (key == u"street") {
        return &texts.street;
    }
    if (key == u"town") {
        return &texts.town;
    }
    if (key == u"rights") {
        return &texts.rights;
    }
    for (std::size_t i = 0; i < texts.warning.size(); ++i) {
        if (key == QStringLiteral("warning%1").arg(i + 1)) {
            return &texts.warning[i];
        }
    }
    return nullptr;
}

}  // namespace

AboutTexts parseAboutTexts(QStringView fileText) {
    AboutTexts texts;
    // Windows editors start a UTF-8 file with a byte order mark, and CR LF ends their lines.
    if (fileText.startsWith(u'\uFEFF')) {
        fileText = fileText.mid(1);
    }
    for (QStringView line : fileText.split(u'\n')) {
        if (line.endsWith(u'\r')) {
            line.chop(1);
        }
        if (line.startsWith(u'#')) {
            continue;
        }
        const qsizetype equals = line.indexOf(u'=');
        if (equals < 0) {
            continue;
        }
        if (QString* text = textFor(texts, line.left(equals).trimmed())) {
            *text = line.mid(equals + 1).toString();
        }
    }
    return texts;
}

AboutTexts loadAboutTexts(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    return parseAboutTexts(QString::fromUtf8(file.readAll()));
}

}  // namespace flashupdate
