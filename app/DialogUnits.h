// Dialog units: templates place controls in units of a quarter of the dialog
// font's average character width and an eighth of its height, so a dialog
// keeps its proportions in any font.
#pragma once

#include <QFontMetrics>
#include <QRect>
#include <QWidget>

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
    QRect Rect(int x, int y, int cx, int cy) const { return QRect(X(x), Y(y), X(cx), Y(cy)); }
    void Place(QWidget* widget, int x, int y, int cx, int cy) const {
        widget->setGeometry(Rect(x, y, cx, cy));
    }

private:
    int baseX_ = 6;
    int baseY_ = 13;
};
