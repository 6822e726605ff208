#pragma once
// A main window whose outside parts (zip component, FTP client, program end)
// are scripted, with its settings, temporary folder and answers all local to
// the test.

#include "app/fromMain.h"
#include "platform/ProgramDir.h"
#include "platform/Registry.h"
#include "platform/ScriptedDialogs.h"
#include "platform/ScriptedShell.h"
#include "support/TestFiles.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QStackedWidget>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>

class TestForm : public app::TfrmMain {
public:
    using TfrmMain::jobRunning_;

    std::vector<app::ConnectParams> connects;
    std::function<void(TestForm &)> job;                 // runs inside "Connect"
    std::optional<jobs::TArchiveInfo> memberInArchive;   // what extraction yields
    bool extractThrows = false;
    std::vector<int> ended;
    int disconnects = 0;

protected:
    void connectToHost(const app::ConnectParams &p) override
    {
        connects.push_back(p);
        if (job)
            job(*this);
    }
    void disconnectIfConnected() override { ++disconnects; }
    // These archives are stand-ins, not zip files: the component is scripted.
    void setZipFileName(const std::string &name) override { ZipFileName = name; }
    void extractInfoMember() override
    {
        if (extractThrows)
            throw std::runtime_error("zip library failed");
        if (memberInArchive) {
            jobs::TArchiveInfo copy = *memberInArchive;
            jobs::writeInfoMember(copy, runFolder());
        }
    }
    // The stand-in archive holds the info member and the save file it names.
    std::vector<std::string> archiveMembers() override
    {
        if (!memberInArchive)
            return {};
        return {jobs::kInfoMemberName, memberInArchive->saveFileMemberName()};
    }
    void endProgram(int status) override { ended.push_back(status); }
};

class WizardTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        qputenv("TMPDIR", QByteArray::fromStdString(tmp.path()));
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

    TestForm &create(std::vector<std::string> args)
    {
        form = std::make_unique<TestForm>();
        form->formCreate(args);
        return *form;
    }
    // Creates and activates: the wizard shows step 1.
    TestForm &start(std::vector<std::string> args)
    {
        create(std::move(args));
        form->formActivate();
        return *form;
    }
    void next() { form->btnNextClick(); }
    void back() { form->btnBackClick(); }
    QWidget *page() const { return form->Wizard->currentWidget(); }
    std::vector<std::string> listLines() const;

    testsupport::TempDir tmp;
    platform::ScriptedDialogs dialogs;
    platform::ScriptedShell shell;
    std::unique_ptr<TestForm> form;
};
