// The transport's icons, drawn in code under the names the window uses for
// them ("play.fill", "scissors", ...). Each is drawn into a square box in
// one colour. Main thread (painting).
#pragma once

#include <QColor>
#include <QRectF>
#include <QString>

class QPainter;

// Draws the symbol `name` centred in `box`. Returns false (and draws
// nothing) for an unknown name.
bool MGDrawSymbol(QPainter& painter, const QString& name, const QRectF& box, const QColor& color);

// Whether `name` is one of the drawn symbols.
bool MGHasSymbol(const QString& name);
