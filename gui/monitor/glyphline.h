#pragma once
#include <QFont>
#include <QGlyphRun>
#include <QHash>
#include <QList>
#include <QRawFont>

// Lays out one line of plain text as glyph runs for QPainter::drawGlyphRun,
// the origin at the line's top left. The monitor's cells are digits, Latin
// and Cyrillic letters and a few signs, none of which needs shaping: their
// glyphs are looked up once per character and set side by side, many times
// cheaper than a text layout, which shaping every new cell made most of what
// the window cost while frames came. A text with a character the font lacks
// goes the general way (QTextLayout, with the fallback fonts).
class GlyphLine {
public:
    struct Laid {
        QList<QGlyphRun> runs;
        qreal width = 0;
    };

    explicit GlyphLine(const QFont &font);
    const QFont &font() const { return usedFont; }
    Laid layOut(const QString &text);
    // The last layOut went the general way (for the tests).
    bool lastWasGeneral() const { return general; }

private:
    quint32 glyphOf(char16_t c); // 0: not in the font
    Laid layOutGenerally(const QString &text) const;

    QFont usedFont;
    QRawFont raw;
    qreal ascent = 0;
    QHash<char16_t, quint32> known;
    bool general = false;
};
