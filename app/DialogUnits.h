// Dialog units: templates measure controls in units of a quarter of the
// dialog font's average character width and an eighth of its height, so a
// dialog keeps its proportions in any font. The dialogs lay their controls
// out with Qt's layouts, which give every text the room its font needs; these
// units set the margins, the gaps and the smallest widths the templates had.
#pragma once

#include <QFontMetrics>
#include <QString>

class DialogUnits {
public:
    explicit DialogUnits(const QFont& font) {
        const QFontMetrics metrics(font);
        // The average width of the 52 letters, as dialog base units take it.
        const QString letters =
            QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
        baseX_ = (metrics.horizontalAdvance(letters) + 26) / 52;
        baseY_ = metrics.height();
    }
    int X(int units) const { return (units * baseX_ + 2) / 4; }
    int Y(int units) const { return (units * baseY_ + 4) / 8; }

private:
    int baseX_ = 6;
    int baseY_ = 13;
};
