#include "platform/QtDialogs.h"

#include <QApplication>
#include <QDialog>
#include <QFileDialog>
#include <QGridLayout>
#include <QMessageBox>
#include <QPushButton>

#include <algorithm>

namespace platform {
namespace {

QString q(const std::string &s) { return QString::fromStdString(s); }

struct ButtonSpec {
    QMessageBox::StandardButton button;
    int result;
};

std::vector<ButtonSpec> buttonsFor(Buttons b)
{
    switch (b) {
    case Buttons::Ok: return {{QMessageBox::Ok, mrOk}};
    case Buttons::OkCancel: return {{QMessageBox::Ok, mrOk}, {QMessageBox::Cancel, mrCancel}};
    case Buttons::YesNo: return {{QMessageBox::Yes, mrYes}, {QMessageBox::No, mrNo}};
    case Buttons::YesNoCancel:
        return {{QMessageBox::Yes, mrYes}, {QMessageBox::No, mrNo}, {QMessageBox::Cancel, mrCancel}};
    case Buttons::AbortRetryIgnore:
        return {{QMessageBox::Abort, mrAbort}, {QMessageBox::Retry, mrRetry}, {QMessageBox::Ignore, mrIgnore}};
    case Buttons::RetryCancel: return {{QMessageBox::Retry, mrRetry}, {QMessageBox::Cancel, mrCancel}};
    case Buttons::AbortIgnore: return {{QMessageBox::Abort, mrAbort}, {QMessageBox::Ignore, mrIgnore}};
    }
    return {{QMessageBox::Ok, mrOk}};
}

QMessageBox::Icon iconFor(Icon i)
{
    switch (i) {
    case Icon::Error: return QMessageBox::Critical;
    case Icon::Warning: return QMessageBox::Warning;
    case Icon::Question: return QMessageBox::Question;
    case Icon::Information: return QMessageBox::Information;
    case Icon::None: break;
    }
    return QMessageBox::NoIcon;
}

QString filterText(const FileDialogOptions &o)
{
    QStringList f;
    for (const auto &s : o.filters)
        f << q(s);
    f << QObject::tr("All files (*)");
    return f.join(";;");
}

QString startPath(const FileDialogOptions &o)
{
    QString name = q(o.fileName);
    if (!o.initialDir.empty())
        return q(o.initialDir) + "/" + name;
    return name;
}

} // namespace

int QtDialogs::messageBox(const std::string &text, const std::string &caption, Buttons buttons, Icon icon,
                          DefaultButton defaultButton)
{
    QMessageBox box(iconFor(icon), caption.empty() ? QApplication::applicationName() : q(caption), q(text),
                    QMessageBox::NoButton, QApplication::activeWindow());
    const auto specs = buttonsFor(buttons);
    for (const auto &s : specs)
        box.addButton(s.button);
    const std::size_t index = static_cast<std::size_t>(defaultButton);
    box.setDefaultButton(specs[std::min(index, specs.size() - 1)].button);
    // A short text makes a narrow box whose title bar cuts the message id
    // ("Messa...n0012'"); the box is kept wide enough for its caption and
    // the title bar's buttons.
    if (auto *grid = qobject_cast<QGridLayout *>(box.layout())) {
        const int wide = box.fontMetrics().horizontalAdvance(box.windowTitle()) + 160;
        grid->addItem(new QSpacerItem(wide, 0, QSizePolicy::Minimum, QSizePolicy::Fixed), grid->rowCount(), 0, 1,
                      grid->columnCount());
    }
    box.exec();
    auto clicked = box.standardButton(box.clickedButton());
    for (const auto &s : specs)
        if (s.button == clicked)
            return s.result;
    // Closed with Esc or the close box: the "cancel" answer of the set.
    return specs.size() == 1 ? specs[0].result : (buttons == Buttons::YesNo ? mrNo : mrCancel);
}

std::optional<std::string> QtDialogs::openFile(const FileDialogOptions &o)
{
    QFileDialog dlg(QApplication::activeWindow(), q(o.title), QString(), filterText(o));
    dlg.setAcceptMode(QFileDialog::AcceptOpen);
    dlg.setFileMode(QFileDialog::ExistingFile);
    if (!o.defaultExt.empty())
        dlg.setDefaultSuffix(q(o.defaultExt));
    if (!o.initialDir.empty())
        dlg.setDirectory(q(o.initialDir));
    if (!o.fileName.empty() && o.fileName.find('*') == std::string::npos)
        dlg.selectFile(q(o.fileName));
    if (dlg.exec() != QDialog::Accepted || dlg.selectedFiles().isEmpty())
        return std::nullopt;
    return dlg.selectedFiles().first().toStdString();
}

std::optional<std::string> QtDialogs::saveFile(const FileDialogOptions &o)
{
    QFileDialog dlg(QApplication::activeWindow(), q(o.title), QString(), filterText(o));
    dlg.setAcceptMode(QFileDialog::AcceptSave);
    if (!o.defaultExt.empty())
        dlg.setDefaultSuffix(q(o.defaultExt));
    // The program asks its own overwrite question after the dialog.
    dlg.setOption(QFileDialog::DontConfirmOverwrite);
    if (!o.fileName.empty())
        dlg.selectFile(startPath(o));
    if (dlg.exec() != QDialog::Accepted || dlg.selectedFiles().isEmpty())
        return std::nullopt;
    return dlg.selectedFiles().first().toStdString();
}

std::optional<std::string> QtDialogs::openPicture(const FileDialogOptions &o)
{
    FileDialogOptions p = o;
    if (p.filters.empty())
        p.filters = {"Pictures (*.bmp *.jpg *.jpeg *.ico *.wmf *.emf)"};
    return openFile(p);
}

int QtDialogs::showModal(QDialog &form)
{
    int r = form.exec();
    // Forms set their own modal result (OK 1, Cancel 2); a plain reject is Cancel.
    return r == QDialog::Rejected ? mrCancel : r;
}

void QtDialogs::showException(const std::string &message)
{
    QMessageBox::critical(QApplication::activeWindow(), QApplication::applicationName(), q(message));
}

} // namespace platform
