#include "monitor/glyphline.h"

#include <QFontMetricsF>
#include <QTextLayout>

GlyphLine::GlyphLine(const QFont &font)
    : usedFont(font), raw(QRawFont::fromFont(font)), ascent(QFontMetricsF(font).ascent())
{
}

quint32 GlyphLine::glyphOf(char16_t c)
{
    auto it = known.constFind(c);
    if (it != known.cend())
        return *it;
    quint32 glyph = 0;
    if (!QChar::isSurrogate(c) && !QChar(c).isNonCharacter()) {
        const QList<quint32> indexes = raw.glyphIndexesForString(QString(QChar(c)));
        if (indexes.size() == 1)
            glyph = indexes.front();
    }
    known.insert(c, glyph);
    return glyph;
}

GlyphLine::Laid GlyphLine::layOut(const QString &text)
{
    QList<quint32> indexes;
    indexes.reserve(text.size());
    for (const QChar c : text) {
        const quint32 index = glyphOf(c.unicode());
        if (index == 0) {
            general = true;
            return layOutGenerally(text);
        }
        indexes.push_back(index);
    }
    general = false;
    Laid laid;
    if (indexes.isEmpty())
        return laid;
    // The advances with the font's kerning, as a layout sets them.
    QList<QPointF> positions(indexes.size());
    raw.advancesForGlyphIndexes(indexes.constData(), positions.data(), int(indexes.size()),
                                QRawFont::SeparateAdvances | QRawFont::KernedAdvances);
    for (QPointF &p : positions) {
        const qreal advance = p.x();
        p = QPointF(laid.width, ascent);
        laid.width += advance;
    }
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
