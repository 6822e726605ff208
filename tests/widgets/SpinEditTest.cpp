#include "widgets/TCSpinEdit.h"

#include <QLineEdit>
#include <gtest/gtest.h>

TEST(SpinEdit, TextReadsAsClampedIntegerOrZero)
{
    struct Case {
        const char *text;
        int value;
    } cases[] = {
        {"21", 21},          {"0", 0},           {"65535", 65535},   {"70000", 65535}, {"-5", 0},
        {"", 0},             {"abc", 0},         {"12abc", 0},       {" 8080 ", 8080}, {"+443", 443},
        {"99999999999999999999999", 65535},      {"-99999999999999999999999", 0},     {"2147483648", 65535},
    };
    for (const auto &c : cases)
        EXPECT_EQ(TCSpinEdit::valueOf(QString::fromLatin1(c.text), 0, 65535), c.value) << '"' << c.text << '"';
    EXPECT_EQ(TCSpinEdit::valueOf("abc", 10, 20), 0) << "no number reads as 0, not as the lower bound";
    EXPECT_EQ(TCSpinEdit::valueOf("5", 10, 20), 10);
}

TEST(SpinEdit, LeavingTheFieldShowsTheCorrectedValue)
{
    TCSpinEdit e;
    e.setRange(0, 65535);
    e.setText("70000");
    EXPECT_EQ(e.text(), "70000") << "typing is free until the field is left";
    EXPECT_EQ(e.value(), 65535);
    emit e.editingFinished();
    EXPECT_EQ(e.text(), "65535");

    e.setText("");
    emit e.editingFinished();
    EXPECT_EQ(e.text(), "0");
    e.setText("port");
    emit e.editingFinished();
    EXPECT_EQ(e.text(), "0");
}

TEST(SpinEdit, StepsStopAtTheBounds)
{
    TCSpinEdit e;
    e.setRange(0, 65535);
    e.setValue(65534);
    e.stepUp();
    EXPECT_EQ(e.value(), 65535);
    e.stepUp();
    EXPECT_EQ(e.text(), "65535");
    e.setValue(1);
    e.stepDown();
    e.stepDown();
    EXPECT_EQ(e.text(), "0");
    e.setText("70000"); // stepping from an out-of-range text starts at the bound
    e.stepDown();
    EXPECT_EQ(e.value(), 65534);
}
