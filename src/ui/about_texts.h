// The maker's lines in the About box: copyright, postal address, rights and the legal warning.
// They belong to the product owner and change without the program changing, so they live in a text
// file compiled in as a resource (resources/about-texts.txt, whose header explains the format)
// and are read each time the box is built.
#pragma once

#include <QString>
#include <QStringView>

#include <array>

namespace flashupdate {

struct AboutTexts {
    // The four lines of the address block, top to bottom.
    QString copyright;  // year and company name
    QString street;
    QString town;  // town and postal code
    QString rights;
    // The legal warning in its five pieces, shown run together as one paragraph.
    std::array<QString, 5> warning;
};

inline constexpr char kAboutTextsResource[] = ":/about-texts.txt";

// Reads key=value lines; a key that is missing leaves its text empty, an unknown key is ignored.
AboutTexts parseAboutTexts(QStringView fileText);

// Reads the file at path (the compiled-in texts by default); all texts are empty if it cannot be
// read, so the box still opens.
AboutTexts loadAboutTexts(const QString& path = QString::fromLatin1(kAboutTextsResource));

}  // namespace flashupdate
