#pragma once
// The wizard and quellon-cli driven against quellon-hostsim: the form with
// scripted answers, hosts on free ports, the command line as a process.

#include "app/WizardJobs.h"
#include "app/fromMain.h"
#include "hostsim/HostSimProcess.h"
#include "jobs/formDspJobLog.h"
#include "platform/ProgramDir.h"
#include "platform/Registry.h"
#include "platform/ScriptedDialogs.h"
#include "platform/ScriptedShell.h"
#include "support/TestFiles.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QFocusEvent>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStackedWidget>
#include <QTimer>

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <optional>
#include <regex>

namespace fs = std::filesystem;
using namespace testsupport;

namespace e2e {

class E2eForm : public app::TfrmMain {
public:
    std::vector<int> ended;

protected:
    void endProgram(int status) override { ended.push_back(status); }
};

// What the job log viewer showed, and the answer given.
struct ViewerSeen {
    std::vector<std::string> lines;
    std::string text;
    bool errorMode = false;
};

inline std::vector<std::string> splitLines(const std::string &s)
{
    std::vector<std::string> out;
    std::string cur;
    for (char c : s) {
        if (c == '\n') {
            out.push_back(cur);
            cur.clear();
        } else {
            cur += c;
        }
    }
    if (!cur.empty())
        out.push_back(cur);
    return out;
}

// The objects of a library folder, name -> bytes.
inline std::map<std::string, std::string> objects(const std::string &libDir)
{
    std::map<std::string, std::string> out;
    if (!fs::is_directory(libDir))
        return out;
    for (const auto &e : fs::directory_iterator(libDir))
        if (e.is_regular_file())
            out[e.path().filename().string()] = readFile(e.path().string());
    return out;
}

inline std::string shellQuote(const std::string &s) { return "'" + s + "'"; }

class JobsE2e : public ::testing::Test {
protected:
    void SetUp() override
    {
        qputenv("TMPDIR", QByteArray::fromStdString(tmp.path()));
        qputenv("QPW", "secret");
        platform::Registry::useFile(tmp.file("settings.ini"));
        platform::setProgramDir(QUELLON_BIN_DIR);
    }
    void TearDown() override
    {
        if (form && !form->runFolder().empty())
            form->removeRunFolder();
        form.reset();
        platform::Registry::useFile("");
        platform::setProgramDir("");
        qunsetenv("TMPDIR");
    }

    std::unique_ptr<HostSimProcess> host(const std::string &root, std::vector<std::string> extra = {})
    {
        fs::create_directories(root);
        auto h = std::make_unique<HostSimProcess>(root, extra);
        EXPECT_TRUE(h->running()) << h->firstLine();
        return h;
    }

    std::vector<std::string> listLines() const
    {
        std::vector<std::string> out;
        for (int i = 0; i < form->list->count(); ++i)
            out.push_back(form->list->item(i)->text().toStdString());
        return out;
    }
    // The lines after the summary.
    std::vector<std::string> jobLines(std::size_t summary) const
    {
        auto all = listLines();
        return {all.begin() + static_cast<long>(std::min(summary, all.size())), all.end()};
    }

    // The viewer answers `result` and records what it showed.
    void answerViewer(int result)
    {
        dialogs.modalScripts.push_back([this, result](QDialog &d) {
            auto &v = dynamic_cast<jobs::TfrmDspJobLog &>(d);
            ViewerSeen seen;
            seen.errorMode = v.ErrorMode;
            seen.text = v.boxJobLog->toPlainText().toStdString();
            seen.lines = splitLines(seen.text);
            viewers.push_back(seen);
            return result;
        });
    }

    // The host page as a user fills it: the name typed and left (its
    // profile applies), then the port of this run's host.
    void connectPage(int port)
    {
        form->edtServerName->setEditText("localhost");
        QFocusEvent left(QEvent::FocusOut, Qt::TabFocusReason);
        QCoreApplication::sendEvent(form->edtServerName->lineEdit(), &left);
        form->Port = port;
        if (transport)
            form->Transport = *transport;
        form->edtUserProfile->setText("JOE");
        form->edtPassword->setText("secret");
    }

    // The save wizard up to the summary page, then OK.
    void saveWithWizard(int port, const std::string &archive, const std::string &library, int saveType = 0,
                        const std::string &object = {}, int typeIndex = 0)
    {
        form = std::make_unique<E2eForm>();
        ASSERT_TRUE(form->formCreate({"/zip"}));
        form->formActivate();
        form->btnNextClick(); // what to save
        form->edtLibraryNameToSave->setText(QString::fromStdString(library));
        form->edtTgtRls->setEditText("*current");
        form->setGrpSaveTypeIndex(saveType);
        if (saveType == 1) {
            form->edtObjToBeSaved->setText(QString::fromStdString(object));
            form->edtSaveObjType->setCurrentIndex(typeIndex);
        }
        dialogs.fileAnswers.push_back(archive);
        form->btnNextClick(); // destination: the save dialog opens at once
        form->btnNextClick(); // restore behaviour
        form->btnNextClick(); // host
        connectPage(port);
        form->btnNextClick(); // summary
        ASSERT_EQ(form->Wizard->currentWidget(), form->tabProcess);
        form->btnFinishClick();
    }

    void restoreWithWizard(int port, const std::string &file, bool createLibrary = false)
    {
        form = std::make_unique<E2eForm>();
        ASSERT_TRUE(form->formCreate({file}));
        form->formActivate();
        form->btnNextClick(); // the file
        form->btnNextClick(); // opened: where to
        ASSERT_EQ(form->Wizard->currentWidget(), form->tabRestoreHostInfo);
        form->boxAutoCreateLibrary->setChecked(createLibrary);
        form->btnNextClick(); // host
        connectPage(port);
        form->btnNextClick(); // summary
        ASSERT_EQ(form->Wizard->currentWidget(), form->tabProcess);
        form->btnFinishClick();
    }

    int cli(const std::string &args, std::string *out = nullptr)
    {
        return runCommand(std::string(QUELLON_BIN_DIR) + "/quellon-cli " + args, out);
    }
    std::string cliHost(const HostSimProcess &h)
    {
        return " --host 127.0.0.1 --port " + std::to_string(h.port()) + " --user JOE --password-env QPW";
    }

    TempDir tmp;
    // When set, the connection settings the user picks on the host page;
    // otherwise the host profile's stay.
    std::optional<FtpTransport> transport;
    platform::ScriptedDialogs dialogs;
    platform::ScriptedShell shell;
    std::unique_ptr<E2eForm> form;
    std::vector<ViewerSeen> viewers;
};

inline const std::size_t kSaveSummaryLines = 9;

} // namespace e2e
