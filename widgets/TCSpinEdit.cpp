#include "widgets/TCSpinEdit.h"

#include <QLineEdit>
#include <QRegularExpression>

#include <algorithm>

#include <limits>

TCSpinEdit::TCSpinEdit(QWidget *parent) : QAbstractSpinBox(parent)
{
    setButtonSymbols(QAbstractSpinBox::UpDownArrows);
    setAccelerated(true);
    // Leaving the field (or Enter) shows the value the field stands for.
    connect(this, &QAbstractSpinBox::editingFinished, this, &TCSpinEdit::checkValue);
    lineEdit()->setText(QStringLiteral("0"));
}

void TCSpinEdit::setRange(int minValue, int maxValue)
{
    min_ = minValue;
    max_ = std::max(minValue, maxValue);
    checkValue();
}

int TCSpinEdit::valueOf(const QString &text, int minValue, int maxValue)
{
    const QString t = text.trimmed();
    bool ok = false;
    qlonglong v = t.toLongLong(&ok, 10);
    if (!ok) {
        // A string of digits too long even for 64 bits is still a number,
        // far beyond the bound on its side, not "no number".
        static const QRegularExpression digits(QStringLiteral("^[+-]?[0-9]+$"));
        if (!digits.match(t).hasMatch())
            return 0;
        v = t.startsWith(u'-') ? std::numeric_limits<qlonglong>::min() : std::numeric_limits<qlonglong>::max();
    }
    if (v < minValue)
        return minValue;
    if (v > maxValue)
        return maxValue;
    return static_cast<int>(v);
}

int TCSpinEdit::value() const { return valueOf(lineEdit()->text(), min_, max_); }

void TCSpinEdit::setValue(int v)
{
    lineEdit()->setText(QString::number(valueOf(QString::number(v), min_, max_)));
}

QString TCSpinEdit::text() const { return lineEdit()->text(); }

void TCSpinEdit::setText(const QString &text) { lineEdit()->setText(text); }

void TCSpinEdit::checkValue()
{
    const QString shown = QString::number(value());
    if (lineEdit()->text() != shown)
        lineEdit()->setText(shown);
}

void TCSpinEdit::stepBy(int steps)
{
    const qlonglong v = static_cast<qlonglong>(value()) + static_cast<qlonglong>(steps) * step_;
    const qlonglong c = std::clamp<qlonglong>(v, min_, max_);
    lineEdit()->setText(QString::number(c));
    lineEdit()->selectAll();
}

QAbstractSpinBox::StepEnabled TCSpinEdit::stepEnabled() const
{
    const int v = value();
    StepEnabled e = StepNone;
    if (v < max_)
        e |= StepUpEnabled;
    if (v > min_)
        e |= StepDownEnabled;
    return e;
}

// Any text may stand in the field while it is edited; the rules apply when
// it is left, so 70000 can be typed and becomes the upper bound.
QValidator::State TCSpinEdit::validate(QString &, int &) const { return QValidator::Acceptable; }

void TCSpinEdit::fixup(QString &input) const { input = QString::number(valueOf(input, min_, max_)); }
