#pragma once
// Numeric spin edit: an edit field with up and down buttons that holds an
// integer between MinValue and MaxValue. Typing is free; the value is put
// right when the field is left (or read): out-of-range numbers go to the
// nearer bound, anything that is not a number becomes 0.

#include <QAbstractSpinBox>

class TCSpinEdit : public QAbstractSpinBox {
    Q_OBJECT
public:
    explicit TCSpinEdit(QWidget *parent = nullptr);

    int minValue() const { return min_; }
    int maxValue() const { return max_; }
    void setRange(int minValue, int maxValue);
    int increment() const { return step_; }
    void setIncrement(int step) { step_ = step; }

    // The field's value by the rules above, whatever the text shows now.
    int value() const;
    void setValue(int v);
    QString text() const;
    void setText(const QString &text);

    // The rule itself: what a text reads as within [minValue, maxValue].
    static int valueOf(const QString &text, int minValue, int maxValue);

    void stepBy(int steps) override;
    QValidator::State validate(QString &input, int &pos) const override;
    void fixup(QString &input) const override;

protected:
    StepEnabled stepEnabled() const override;

private:
    void checkValue(); // shows the corrected value in the field

    int min_ = 0;
    int max_ = 100;
    int step_ = 1;
};
