#include "jobs/formDspJobLog.h"

#include "platform/Dialogs.h"

#include <QFile>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QLabel>
#include <QTextBlock>
#include <QPushButton>
#include <QScrollBar>
#include <QStatusBar>
#include <QTextCursor>
#include <QVBoxLayout>

#include <stdexcept>

namespace jobs {

TfrmDspJobLog *frmDspJobLog = nullptr;

TfrmDspJobLog::TfrmDspJobLog(QWidget *parent) : QDialog(parent)
{
    setObjectName("frmDspJobLog");
    setWindowTitle("Display job log");
    resize(976, 673);
    auto *v = new QVBoxLayout(this);
    v->setContentsMargins(0, 0, 0, 0);
    v->setSpacing(0);

    pnlMsg = new QWidget(this);
    pnlMsg->setObjectName("pnlMsg");
    pnlMsg->setFixedHeight(81);
    auto *m = new QVBoxLayout(pnlMsg);
    m->setContentsMargins(20, 20, 20, 20);
    msgText = new QLabel(pnlMsg);
    msgText->setObjectName("msgText");
    QFont bold = msgText->font();
    bold.setBold(true);
    msgText->setFont(bold);
    msgText->setWordWrap(true);
    m->addWidget(msgText);
    v->addWidget(pnlMsg);

    Panel3 = new QWidget(this);
    auto *p3 = new QVBoxLayout(Panel3);
    p3->setContentsMargins(0, 0, 0, 0);
    boxJobLog = new QTextEdit(Panel3);
    boxJobLog->setObjectName("boxJobLog");
    boxJobLog->setReadOnly(true);
    boxJobLog->setAcceptRichText(false);
    boxJobLog->setLineWrapMode(QTextEdit::WidgetWidth);
    boxJobLog->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    boxJobLog->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    boxJobLog->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    QFont mono("Courier New");
    mono.setStyleHint(QFont::Monospace);
    boxJobLog->setFont(mono);
    p3->addWidget(boxJobLog);
    v->addWidget(Panel3, 1);

    Panel1 = new QWidget(this);
    Panel1->setFixedHeight(41);
    auto *b = new QHBoxLayout(Panel1);
    b->setContentsMargins(8, 6, 8, 6);
    b->addStretch(1);
    pnlErrorLog = new QWidget(Panel1);
    pnlErrorLog->setObjectName("pnlErrorLog");
    auto *e = new QHBoxLayout(pnlErrorLog);
    e->setContentsMargins(0, 0, 0, 0);
    btnAbort = new QPushButton("Abort", pnlErrorLog);
    btnAbort->setObjectName("btnAbort");
    btnIgnore = new QPushButton("Ignore", pnlErrorLog);
    btnIgnore->setObjectName("btnIgnore");
    e->addWidget(btnAbort);
    e->addWidget(btnIgnore);
    b->addWidget(pnlErrorLog);
    pnlNormal = new QWidget(Panel1);
    pnlNormal->setObjectName("pnlNormal");
    auto *n = new QHBoxLayout(pnlNormal);
    n->setContentsMargins(0, 0, 0, 0);
    btnClose = new QPushButton("Close", pnlNormal);
    btnClose->setObjectName("btnClose");
    n->addWidget(btnClose);
    b->addWidget(pnlNormal);
    v->addWidget(Panel1);

    StatusBar1 = new QStatusBar(this);
    StatusBar1->setSizeGripEnabled(false);
    v->addWidget(StatusBar1);

    connect(btnClose, &QPushButton::clicked, this, [this] { done(platform::mrOk); });
    connect(btnAbort, &QPushButton::clicked, this, [this] { done(platform::mrAbort); });
    connect(btnIgnore, &QPushButton::clicked, this, [this] { done(platform::mrIgnore); });
}

void TfrmDspJobLog::FormActivate()
{
    pnlNormal->setVisible(!ErrorMode);
    pnlErrorLog->setVisible(ErrorMode);
    pnlMsg->setVisible(!msgText->text().isEmpty());
    boxJobLog->setFocus();
    // The caret at the start of the last line scrolls to the last lines,
    // where a failure is, without scrolling past the start of the long
    // message line.
    QTextCursor c = boxJobLog->textCursor();
    c.movePosition(QTextCursor::End);
    c.movePosition(QTextCursor::StartOfBlock);
    boxJobLog->setTextCursor(c);
    boxJobLog->ensureCursorVisible();
    // The failure may wrap over several rows: all of it shows.
    boxJobLog->verticalScrollBar()->setValue(boxJobLog->verticalScrollBar()->maximum());
    boxJobLog->horizontalScrollBar()->setValue(0);
}

void TfrmDspJobLog::showEvent(QShowEvent *e)
{
    QDialog::showEvent(e);
    FormActivate();
}

int ShowJobLog(const std::string &logPath, bool errorMode, const std::string &message)
{
    QStringList lines;
    QFile f(QString::fromStdString(logPath));
    if (f.open(QIODevice::ReadOnly)) {
        QString text = QString::fromUtf8(f.readAll());
        text.replace("\r\n", "\n");
        lines = text.split('\n');
        if (!lines.isEmpty() && lines.last().isEmpty())
            lines.removeLast();
    } else if (!errorMode) {
        throw std::runtime_error("Cannot open file " + logPath);
    } else {
        lines << QString::fromStdString("(The job log could not be fetched: cannot open file " + logPath + ")");
    }

    TfrmDspJobLog form;
    form.ErrorMode = errorMode;
    const int logLines = static_cast<int>(lines.size());
    if (errorMode) {
        lines << "ERROR \t   Problem";
        lines << "\t\t\t\t   " + QString::fromStdString(message);
    }
    form.boxJobLog->setPlainText(lines.join('\n'));
    if (logLines > 0) {
        // The host's lines are columns of a printout: they scroll sideways
        // rather than wrap.
        QTextCursor c(form.boxJobLog->document());
        c.setPosition(form.boxJobLog->document()->findBlockByNumber(logLines - 1).position(), QTextCursor::KeepAnchor);
        c.movePosition(QTextCursor::EndOfBlock, QTextCursor::KeepAnchor);
        QTextBlockFormat columns;
        columns.setNonBreakableLines(true);
        c.mergeBlockFormat(columns);
    }
    // Before it is shown too: a scripted test reads the form as it opens.
    form.FormActivate();
    frmDspJobLog = &form;
    struct Reset {
        ~Reset() { frmDspJobLog = nullptr; }
    } reset;
    return platform::dialogs().showModal(form);
}

} // namespace jobs
