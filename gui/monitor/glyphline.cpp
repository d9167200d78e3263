#include "monitor/glyphline.h"

#include <QFontMetricsF>
#include <QTextLayout>

GlyphLine::GlyphLine(const QFont &font)
    : usedFont(font), raw(QRawFont::fromFont(font)), ascent(QFontMetricsF(font).ascent())
{
}

GlyphLine::Glyph GlyphLine::glyphOf(char16_t c)
{
    auto it = known.constFind(c);
    if (it != known.cend())
        return *it;
    Glyph glyph;
    if (!QChar::isSurrogate(c) && !QChar(c).isNonCharacter()) {
        const QList<quint32> indexes = raw.glyphIndexesForString(QString(QChar(c)));
        if (indexes.size() == 1 && indexes.front() != 0) {
            glyph.index = indexes.front();
            glyph.advance = raw.advancesForGlyphIndexes(indexes).front().x();
        }
    }
    known.insert(c, glyph);
    return glyph;
}

GlyphLine::Laid GlyphLine::layOut(const QString &text)
{
    QList<quint32> indexes;
    QList<QPointF> positions;
    indexes.reserve(text.size());
    positions.reserve(text.size());
    qreal x = 0;
    for (const QChar c : text) {
        const Glyph glyph = glyphOf(c.unicode());
        if (glyph.index == 0) {
            general = true;
            return layOutGenerally(text);
        }
        indexes.push_back(glyph.index);
        positions.push_back(QPointF(x, ascent));
        x += glyph.advance;
    }
    general = false;
    Laid laid;
    laid.width = x;
    if (indexes.isEmpty())
        return laid;
    QGlyphRun run;
    run.setRawFont(raw);
    run.setGlyphIndexes(indexes);
    run.setPositions(positions);
    laid.runs.push_back(run);
    return laid;
}

GlyphLine::Laid GlyphLine::layOutGenerally(const QString &text) const
{
    QTextLayout layout(text, usedFont);
    layout.beginLayout();
    QTextLine line = layout.createLine();
    layout.endLayout();
    Laid laid;
    if (line.isValid()) {
        laid.runs = layout.glyphRuns();
        laid.width = line.naturalTextWidth();
    }
    return laid;
}
